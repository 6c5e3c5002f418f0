// The scan engine's block scan, over any sink: the definitions of
// ScanEngine::FeedInto and FinishInto. scan_engine.cc includes it for the
// byte stream (OutputSink); a file that scans into a sink of another type
// includes it too, and so instantiates the engine once for that sink.
//
// Not installed. It names no sink type: what it needs of one is ScanSink
// (scan_engine.h); a sink that also offers Room and Commit gets its short
// portions copied in place, and with Flush too, dense portions written by
// compaction (for the tags CompactsTags takes).
#ifndef TAGCUT_SCAN_ENGINE_FEED_H_
#define TAGCUT_SCAN_ENGINE_FEED_H_

#include <cstring>
#include <span>

#include "kernel.h"
#include "scan_engine.h"
#include "tag_search.h"

namespace tagcut {
namespace scan_detail {

// A sink with a buffer the engine may write into directly.
template <class Sink>
concept SinkWritesInPlace = ScanSink<Sink> && requires(Sink& sink, std::size_t count) {
  { sink.Room() } -> std::same_as<std::span<unsigned char>>;
  sink.Commit(count);
};

// A sink the kernel may compact portions into: its buffer can be emptied
// mid-block to make room for another window.
template <class Sink>
concept SinkTakesCompaction = SinkWritesInPlace<Sink> && requires(Sink& sink) {
  { sink.Flush() } -> std::same_as<bool>;
};

// Cuts a portion between each pair of bounds (start tag, end tag) of
// bounds[0, count): its bytes from past the start tag to the end tag, then a
// line feed. A portion of at most 32 bytes is copied into the sink's buffer
// with one fixed 32-byte move, which reads past the portion's end: the
// one-pass scan guarantees 32 readable bytes there, as its windows' reach
// stays inside the block.
template <class Sink>
requires SinkWritesInPlace<Sink>
void EmitPortions(Sink& sink, const unsigned char* data, const std::size_t* bounds,
                  std::size_t count, std::size_t start_length) {
  std::span<unsigned char> room = sink.Room();
  unsigned char* to = room.data();
  unsigned char* end = to + room.size();
  for (std::size_t i = 0; i + 1 < count; i += 2) {
    const unsigned char* first = data + bounds[i] + start_length;
    const std::size_t length = bounds[i + 1] - bounds[i] - start_length;
    if (length <= 32 && end - to >= 33) {
      std::memcpy(to, first, 32);
      to[length] = '\n';
      to += length + 1;
      continue;
    }
    sink.Commit(static_cast<std::size_t>(to - room.data()));
    sink.AppendLine(first, length);
    room = sink.Room();
    to = room.data();
    end = to + room.size();
  }
  sink.Commit(static_cast<std::size_t>(to - room.data()));
}

// The same into any other sink: each portion handed over whole.
template <ScanSink Sink>
void EmitPortions(Sink& sink, const unsigned char* data, const std::size_t* bounds,
                  std::size_t count, std::size_t start_length) {
  for (std::size_t i = 0; i + 1 < count; i += 2) {
    const std::size_t first = bounds[i] + start_length;
    sink.AppendLine(data + first, bounds[i + 1] - first);
  }
}

// Bounds the one-pass scan finds per call: 8 KiB on the stack.
inline constexpr std::size_t kBoundCapacity = 1024;

}  // namespace scan_detail

template <ScanSink Sink>
void ScanEngine::Release(std::uint32_t held, std::span<const unsigned char> block, std::size_t from,
                         std::size_t to, std::size_t keep, Sink& sink) const {
  // Held bytes always equal the end tag's first `held` bytes, so the oldest
  // of them are written from the tag itself. Without any, the call points
  // into the block even when it releases nothing: a sink that counts
  // positions places a portion by its first call.
  const std::size_t total = held + (to - from);
  const std::size_t release = total - keep;
  if (held == 0) {
    sink.Append(block.data() + from, release);
    return;
  }
  const auto* end_tag = reinterpret_cast<const unsigned char*>(end_->tag().data());
  if (release <= held) {
    sink.Append(end_tag, release);
    return;
  }
  sink.Append(end_tag, held);
  sink.Append(block.data() + from, release - held);
}

template <ScanSink Sink>
std::size_t ScanEngine::WriteByCompaction(const ShortTags& tags, const ProbeCycle& start_cycle,
                                          std::span<const unsigned char> block, std::size_t from,
                                          bool& copying, Sink& sink) const {
  if constexpr (!scan_detail::SinkTakesCompaction<Sink>) {
    return from;
  } else {
    std::size_t at = from;
    for (;;) {
      std::span<unsigned char> room = sink.Room();
      if (room.size() < kCompactRoom) {
        sink.Flush();
        room = sink.Room();
        if (room.size() < kCompactRoom) return at;  // a buffer too small: the portions are cut
      }
      const CompactScan found = kernel_->routines.compact_portions(tags, block, at, copying, room);
      sink.Commit(found.written);
      copying = found.copying;
      at = found.stop;
      if (found.repick) {
        start_cycle.Repick(at);
        continue;
      }
      if (room.size() - found.written >= kCompactRoom) return at;  // not stopped for room
    }
  }
}

template <ScanSink Sink>
std::size_t ScanEngine::ScanShortTags(std::span<const unsigned char> block, ScanState& scan,
                                      Sink& sink) const {
  const ProbeCycle cycles[2] = {{start_->probes(), *kernel_, scan.start_hints, block, 0},
                                {end_->probes(), *kernel_, scan.end_hints, block, 0}};
  const ShortTags tags{{&cycles[0].kernel_tag(), &cycles[1].kernel_tag()},
                       {&cycles[0].hints(), &cycles[1].hints()}};
  const Kernel& kernel = *kernel_;
  std::size_t
      bounds[scan_detail::kBoundCapacity + kStartsPerWindow];  // room for what is written past
  const BoundList list{bounds, scan_detail::kBoundCapacity};
  bool& copying = scan.output.copying;
  const std::size_t start_length = start_->tag().size();
  const unsigned char* const data = block.data();
  std::size_t open_from = 0;  // the open portion's first unreleased byte, while copying
  std::size_t stop = 0;
  for (;;) {
    if (compacts_) {  // until a long portion; the bounds then cut portions for a while
      if (copying) sink.Append(data + open_from, stop - open_from);
      open_from = stop = WriteByCompaction(tags, cycles[0], block, stop, copying, sink);
    }
    const BoundScan found = kernel.routines.find_bounds(tags, block, stop, copying, list);
    std::size_t i = 0;
    if (copying && found.count > 0) {  // the portion open when the call began
      sink.AppendLine(data + open_from, bounds[0] - open_from);
      copying = false;
      i = 1;
    }
    scan_detail::EmitPortions(sink, data, bounds + i, found.count - i, start_length);
    if ((found.count - i) % 2 == 1) {  // a portion still open where the call stopped
      i = found.count - 1;
      open_from = bounds[i] + start_length;
      copying = true;
    }
    stop = found.stop;
    if (found.repick) {
      cycles[copying ? 1 : 0].Repick(stop);
      continue;
    }
    if (found.count + kStartsPerWindow <= scan_detail::kBoundCapacity)
      break;  // not stopped for room
  }
  if (copying) sink.Append(data + open_from, stop - open_from);
  for (const ProbeCycle& cycle : cycles) cycle.Advance(stop);
  return stop;
}

template <ScanSink Sink>
void ScanEngine::FeedInto(std::span<const unsigned char> block, ScanState& scan, Sink& sink) const {
  std::size_t position = 0;
  OutputState& output = scan.output;
  // The one-pass scan runs once a block, from where no tag is partly
  // matched: the block's start, or, where a tag straddles into the block,
  // just past that tag. It stops only at the block's last bytes, which the
  // searches below take.
  bool one_pass_left = one_pass_;
  while (position < block.size()) {
    if (one_pass_left && output.partial_match == 0) {
      one_pass_left = false;
      position += ScanShortTags(block.subspan(position), scan, sink);
      continue;
    }
    if (!output.copying) {
      const std::size_t past_start =
          start_->Find(block, position, output.partial_match, scan.start_hints);
      if (past_start == TagSearcher::kNotFound) return;
      output.copying = true;
      position = past_start;
      continue;
    }
    const std::uint32_t held = output.partial_match;
    const std::size_t past_end = end_->Find(block, position, output.partial_match, scan.end_hints);
    if (past_end == TagSearcher::kNotFound) {
      Release(held, block, position, block.size(), output.partial_match, sink);
      return;
    }
    Release(held, block, position, past_end, end_->tag().size(), sink);
    sink.EndPortion(PortionEnd::kEndTag);
    output.copying = false;
    position = past_end;
  }
}

template <ScanSink Sink>
void ScanEngine::FinishInto(ScanState& scan, Sink& sink) const {
  if (scan.output.copying) {
    Release(scan.output.partial_match, {}, 0, 0, /*keep=*/0, sink);  // the held end-tag prefix
    sink.EndPortion(PortionEnd::kEndOfInput);
  }
  scan.output = OutputState{};
}

}  // namespace tagcut

#endif  // TAGCUT_SCAN_ENGINE_FEED_H_
