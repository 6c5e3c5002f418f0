#include "scan_engine.h"

#include <cstring>
#include <utility>

#include "kernel.h"
#include "portion_sink.h"
#include "tag_search.h"

namespace tagcut {
namespace {

// Ends the open portion: a line feed in the byte stream, the portion's last
// piece for a sink that takes portions.
void EndPortion(OutputSink& sink, PortionEnd) { sink.Put('\n'); }
void EndPortion(PortionSink& sink, PortionEnd end) { sink.EndPortion(end); }

// Cuts a portion between each pair of bounds (start tag, end tag) of
// bounds[0, count): its bytes from past the start tag to the end tag, then a
// line feed. A portion of at most 32 bytes is copied into the sink's buffer
// with one fixed 32-byte move, which reads past the portion's end: the
// one-pass scan guarantees 32 readable bytes there, as its windows' reach
// stays inside the block.
void EmitPortions(OutputSink& sink, const unsigned char* data, const std::size_t* bounds,
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

// The same into a sink that takes portions: each handed over whole.
void EmitPortions(PortionSink& sink, const unsigned char* data, const std::size_t* bounds,
                  std::size_t count, std::size_t start_length) {
  for (std::size_t i = 0; i + 1 < count; i += 2) {
    const std::size_t first = bounds[i] + start_length;
    sink.AppendLine(data + first, bounds[i + 1] - first);
  }
}

// Bounds the one-pass scan finds per call: 8 KiB on the stack.
constexpr std::size_t kBoundCapacity = 1024;

bool FitsOnePass(const std::string& tag) { return !tag.empty() && tag.size() <= kVectorBytes; }

// Both tags' probes and this scan's hints, for the kernel's one pass.
ShortTags ShortTagsOf(const TagSearcher& start, const TagSearcher& end, ScanState& scan) {
  start.probes().Prepare(scan.start_hints);
  end.probes().Prepare(scan.end_hints);
  return {{&start.probes(), &end.probes()}, {&scan.start_hints, &scan.end_hints}};
}

}  // namespace

ScanEngine::ScanEngine(std::string start_tag, std::string end_tag)
    : start_(std::make_unique<const TagSearcher>(std::move(start_tag), SelectedKernel())),
      end_(std::make_unique<const TagSearcher>(std::move(end_tag), start_->probes().kernel())),
      one_pass_(end_->probes().kernel().find_bounds != nullptr && FitsOnePass(start_->tag()) &&
                FitsOnePass(end_->tag())) {}

ScanEngine::ScanEngine(ScanEngine&&) noexcept = default;
ScanEngine::~ScanEngine() = default;

const std::string& ScanEngine::start_tag() const { return start_->tag(); }
const std::string& ScanEngine::end_tag() const { return end_->tag(); }

template <class Sink>
void ScanEngine::Release(std::uint32_t held, std::span<const unsigned char> block, std::size_t from,
                         std::size_t to, std::size_t keep, Sink& sink) const {
  // Held bytes always equal the end tag's first `held` bytes, so the oldest
  // of them are written from the tag itself.
  const std::size_t total = held + (to - from);
  const std::size_t release = total - keep;
  const auto* end_tag = reinterpret_cast<const unsigned char*>(end_->tag().data());
  if (release <= held) {
    sink.Append(end_tag, release);
    return;
  }
  sink.Append(end_tag, held);
  sink.Append(block.data() + from, release - held);
}

void ScanEngine::Feed(std::span<const unsigned char> block, ScanState& scan,
                      OutputSink& sink) const {
  FeedInto(block, scan, sink);
}

void ScanEngine::Feed(std::span<const unsigned char> block, ScanState& scan,
                      PortionSink& sink) const {
  FeedInto(block, scan, sink);
}

void ScanEngine::Finish(ScanState& scan, OutputSink& sink) const { FinishInto(scan, sink); }

void ScanEngine::Finish(ScanState& scan, PortionSink& sink) const { FinishInto(scan, sink); }

ScanState ScanEngine::StateAfter(std::span<const unsigned char> bytes, bool copying,
                                 const ScanState& hints) const {
  ScanState scan = hints;
  scan.output = OutputState{.copying = copying, .partial_match = 0};
  DiscardingSink discard;
  Feed(bytes, scan, discard);
  return scan;
}

template <class Sink>
std::size_t ScanEngine::ScanShortTags(std::span<const unsigned char> block, ScanState& scan,
                                      Sink& sink) const {
  const ShortTags tags = ShortTagsOf(*start_, *end_, scan);
  const Kernel& kernel = start_->probes().kernel();
  std::size_t bounds[kBoundCapacity + kStartsPerWindow];  // room for what is written past
  const BoundList list{bounds, kBoundCapacity};
  bool& copying = scan.output.copying;
  const std::size_t start_length = start_->tag().size();
  const unsigned char* const data = block.data();
  std::size_t open_from = 0;  // the open portion's first unreleased byte, while copying
  std::size_t stop = 0;
  for (;;) {
    const BoundScan found = kernel.find_bounds(tags, block, stop, copying, list);
    std::size_t i = 0;
    if (copying && found.count > 0) {  // the portion open when the call began
      sink.AppendLine(data + open_from, bounds[0] - open_from);
      copying = false;
      i = 1;
    }
    EmitPortions(sink, data, bounds + i, found.count - i, start_length);
    if ((found.count - i) % 2 == 1) {  // a portion still open where the call stopped
      i = found.count - 1;
      open_from = bounds[i] + start_length;
      copying = true;
    }
    stop = found.stop;
    if (found.repick) {
      const int phase = copying ? 1 : 0;
      tags.probes[phase]->Repick(data, block.size(), stop, *tags.hints[phase]);
      continue;
    }
    if (found.count + kStartsPerWindow <= kBoundCapacity) break;  // not stopped for room
  }
  if (copying) sink.Append(data + open_from, stop - open_from);
  for (SearchHints* hints : tags.hints) hints->searched_bytes += stop;
  return stop;
}

template <class Sink>
void ScanEngine::FeedInto(std::span<const unsigned char> block, ScanState& scan, Sink& sink) const {
  std::size_t position = 0;
  OutputState& output = scan.output;
  if (one_pass_ && output.partial_match == 0) position = ScanShortTags(block, scan, sink);
  while (position < block.size()) {
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
    EndPortion(sink, PortionEnd::kEndTag);
    output.copying = false;
    position = past_end;
  }
}

template <class Sink>
void ScanEngine::FinishInto(ScanState& scan, Sink& sink) const {
  if (scan.output.copying) {
    Release(scan.output.partial_match, {}, 0, 0, /*keep=*/0, sink);  // the held end-tag prefix
    EndPortion(sink, PortionEnd::kEndOfInput);
  }
  scan.output = OutputState{};
}

}  // namespace tagcut
