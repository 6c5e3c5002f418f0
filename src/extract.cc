#include "tagcut/extract.h"

#include <cstring>
#include <utility>

#include "cpu_features.h"
#include "portion_sink.h"
#include "scan_engine.h"

namespace tagcut {

namespace {

// Ends the open portion: a line feed in the byte stream, the portion's last
// piece for a sink that takes portions.
void EndPortion(OutputSink& sink, PortionEnd) { sink.Put('\n'); }
void EndPortion(PortionSink& sink, PortionEnd end) { sink.EndPortion(end); }

#ifdef TAGCUT_X86
// One tag as the two-tag scan tests it: its probes, and its first 32 bytes.
struct VectorTag {
  std::uint32_t length;
  std::uint32_t probe_count;
  std::uint32_t offsets[4];
  __m256i bytes[4];
  __m256i head;
  std::uint32_t head_mask;
  bool covered;  // the probes test every byte of the tag
};

__attribute__((target("avx2"))) VectorTag MakeVectorTag(const TagSearcher& searcher,
                                                        const SearchHints& hints) {
  VectorTag tag{};
  tag.length = static_cast<std::uint32_t>(searcher.tag().size());
  tag.probe_count = hints.probe_count;
  for (std::uint32_t k = 0; k < hints.probe_count; ++k) {
    tag.offsets[k] = hints.probes[k].offset;
    tag.bytes[k] = _mm256_set1_epi8(static_cast<char>(hints.probes[k].byte));
  }
  tag.head = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(searcher.head()));
  tag.head_mask = searcher.head_mask();
  tag.covered = hints.probe_count == tag.length;
  return tag;
}

// Bit i set when the start at + i agrees with the first `count` probes.
// Inlined with a constant `count` (NextWindowWith), the loop unrolls and the
// probe bytes stay in registers.
__attribute__((target("avx2"), always_inline)) inline std::uint64_t ProbeMaskOf(
    const unsigned char* at, const VectorTag& tag, std::uint32_t count) {
  __m256i low = _mm256_set1_epi8(-1);
  __m256i high = low;
  for (std::uint32_t k = 0; k < count; ++k) {
    const unsigned char* probe = at + tag.offsets[k];
    low = _mm256_and_si256(low, _mm256_cmpeq_epi8(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(probe)), tag.bytes[k]));
    high = _mm256_and_si256(high, _mm256_cmpeq_epi8(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(probe + 32)), tag.bytes[k]));
  }
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
         (std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32);
}

// Bit i set when the start p + i agrees with all of the tag's probes.
__attribute__((target("avx2"), always_inline)) inline std::uint64_t ProbeMask(
    const unsigned char* data, std::size_t p, const VectorTag& tag) {
  return ProbeMaskOf(data + p, tag, tag.probe_count);
}

// The first 64-byte window at or after `cursor` holding a candidate of `tag`.
struct Window {
  std::size_t start;
  std::uint64_t mask;  // 0 when the search stopped short of the end
};

// Inlined into the scan (as NextWindow is), which keeps the window and its
// mask in registers: called, it cost the one-core scan 10% on near misses.
template <std::uint32_t kProbes>
__attribute__((target("avx2"), always_inline)) inline Window NextWindowWith(const unsigned char* data,
                                                      std::size_t cursor, std::size_t size,
                                                      const VectorTag& tag) {
  for (; cursor + 128 + 96 <= size; cursor += 128) {
    const std::uint64_t low = ProbeMaskOf(data + cursor, tag, kProbes);
    const std::uint64_t high = ProbeMaskOf(data + cursor + 64, tag, kProbes);
    if (low != 0) return {cursor, low};
    if (high != 0) return {cursor + 64, high};
  }
  return {cursor, 0};
}

// Skips whole windows without a candidate while 128 bytes and the 96 a
// window needs stay readable; the window reached and its mask.
__attribute__((target("avx2"), always_inline)) inline Window NextWindow(const unsigned char* data,
                                                         std::size_t cursor, std::size_t size,
                                                         const VectorTag& tag) {
  switch (tag.probe_count) {
    case 1: return NextWindowWith<1>(data, cursor, size, tag);
    case 2: return NextWindowWith<2>(data, cursor, size, tag);
    case 3: return NextWindowWith<3>(data, cursor, size, tag);
    default: return NextWindowWith<4>(data, cursor, size, tag);
  }
}

__attribute__((target("avx2"), always_inline)) inline bool HeadAgrees(const unsigned char* at,
                                                                     const VectorTag& tag) {
  if (tag.covered) return true;
  const __m256i seen = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  const auto equal = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(seen, tag.head)));
  return (equal & tag.head_mask) == tag.head_mask;
}

// Both tags at most 32 bytes long and no partial match carried: one pass of
// probe masks per 64 bytes serves both phases, and portions are cut between
// the candidates without leaving the loop, so dense portions cost a few
// instructions each. Starts where 32 bytes cannot be read are left to the
// general path, which goes on from the returned offset with state 0; every
// byte of an open portion before it has been released.
template <class Sink>
__attribute__((target("avx2"))) std::size_t ScanShortTagsAvx2(
    const TagSearcher* searchers[2], std::span<const unsigned char> block, std::size_t position,
    bool& copying, SearchHints* hints[2], Sink& sink) {
  const unsigned char* data = block.data();
  const std::size_t size = block.size();
  VectorTag tags[2] = {MakeVectorTag(*searchers[0], *hints[0]),
                       MakeVectorTag(*searchers[1], *hints[1])};
  // Offsets in the hints' count of bytes searched, for their re-pick pacing.
  const auto now = [&](int tag, std::size_t at) { return hints[tag]->searched_bytes + (at - position); };

  int phase = copying ? 1 : 0;
  std::size_t run_start = position;  // of the open portion, while copying
  std::size_t cursor = position;
  while (cursor + 96 <= size) {
    // Most windows hold no candidate for the tag the phase looks for (the
    // window after a skip must still leave 96 bytes readable).
    const Window window = NextWindow(data, cursor, size, tags[phase]);
    const std::size_t p = cursor = window.start;
    // Each tag's mask for this window, computed when its phase first needs it.
    std::uint64_t start_mask = window.mask;
    std::uint64_t end_mask = window.mask;
    bool start_known = phase == 0 && window.mask != 0;
    bool end_known = phase == 1 && window.mask != 0;
    while (cursor < p + 64) {
      std::uint64_t mask;
      if (phase == 0) {
        if (!start_known) start_mask = ProbeMask(data, p, tags[0]), start_known = true;
        mask = start_mask;
      } else {
        if (!end_known) end_mask = ProbeMask(data, p, tags[1]), end_known = true;
        mask = end_mask;
      }
      const std::uint64_t hits = mask & (~std::uint64_t{0} << (cursor - p));
      if (hits == 0) {
        cursor = p + 64;
        break;
      }
      const std::size_t candidate = p + static_cast<std::size_t>(__builtin_ctzll(hits));
      if (!HeadAgrees(data + candidate, tags[phase])) {
        cursor = candidate + 1;
        if (TagSearcher::FalseCandidate(*hints[phase], now(phase, cursor))) {
          searchers[phase]->Repick(data, size, cursor, *hints[phase]);
          tags[phase] = MakeVectorTag(*searchers[phase], *hints[phase]);
          break;  // this window again, with the new probes
        }
        continue;
      }
      if (phase == 1) {
        sink.AppendLine(data + run_start, candidate - run_start);
        cursor = candidate + tags[1].length;
      } else {
        cursor = candidate + tags[0].length;
        run_start = cursor;
      }
      phase ^= 1;
    }
  }
  if (phase == 1) sink.Append(data + run_start, cursor - run_start);
  copying = phase == 1;
  for (int tag = 0; tag < 2; ++tag) hints[tag]->searched_bytes += cursor - position;
  return cursor;
}
#endif

}  // namespace

ScanEngine::ScanEngine(std::string start_tag, std::string end_tag)
    : start_(std::move(start_tag)), end_(std::move(end_tag)) {
#ifdef TAGCUT_X86
  short_tags_ = HaveAvx2() && !start_.tag().empty() && start_.tag().size() <= 32 &&
                !end_.tag().empty() && end_.tag().size() <= 32;
#endif
}

template <class Sink>
void ScanEngine::Release(std::uint32_t held,
                        std::span<const unsigned char> block, std::size_t from,
                        std::size_t to, std::size_t keep,
                        Sink& sink) const {
  // Held bytes always equal the end tag's first `held` bytes, so the oldest
  // of them are written from the tag itself.
  const std::size_t total = held + (to - from);
  const std::size_t release = total - keep;
  const auto* end_tag =
      reinterpret_cast<const unsigned char*>(end_.tag().data());
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

template <class Sink>
void ScanEngine::FeedInto(std::span<const unsigned char> block, ScanState& scan,
                          Sink& sink) const {
  std::size_t position = 0;
#ifdef TAGCUT_X86
  if (short_tags_ && scan.state == 0) {
    const TagSearcher* searchers[2] = {&start_, &end_};
    SearchHints* hints[2] = {&scan.start_hints, &scan.end_hints};
    for (int i = 0; i < 2; ++i) searchers[i]->InitHints(*hints[i]);
    position = ScanShortTagsAvx2(searchers, block, 0, scan.copying, hints, sink);
  }
#endif
  while (position < block.size()) {
    if (!scan.copying) {
      const std::size_t found = start_.FindEnd(block, position, scan.state, scan.start_hints);
      if (found == TagSearcher::kNotFound) return;
      scan.copying = true;
      position = found;
      continue;
    }
    const std::uint32_t held = scan.state;
    const std::size_t found = end_.FindEnd(block, position, scan.state, scan.end_hints);
    if (found == TagSearcher::kNotFound) {
      Release(held, block, position, block.size(), scan.state, sink);
      return;
    }
    Release(held, block, position, found, end_.tag().size(), sink);
    EndPortion(sink, PortionEnd::kEndTag);
    scan.copying = false;
    position = found;
  }
}

template <class Sink>
void ScanEngine::FinishInto(ScanState& scan, Sink& sink) const {
  if (scan.copying) {
    Release(scan.state, {}, 0, 0, /*keep=*/0, sink);  // the held end-tag prefix
    EndPortion(sink, PortionEnd::kEndOfInput);
  }
  scan.copying = false;
  scan.state = 0;
}

struct Extractor::Impl {
  ScanEngine engine;
  ScanState scan;
};

Extractor::Extractor(std::string start_tag, std::string end_tag)
    : impl_(new Impl{ScanEngine(std::move(start_tag), std::move(end_tag)), {}}) {}
Extractor::~Extractor() = default;
Extractor::Extractor(Extractor&&) noexcept = default;
Extractor& Extractor::operator=(Extractor&&) noexcept = default;

void Extractor::Feed(std::span<const unsigned char> block, OutputSink& sink) {
  impl_->engine.Feed(block, impl_->scan, sink);
}

void Extractor::Finish(OutputSink& sink) { impl_->engine.Finish(impl_->scan, sink); }

bool Extractor::in_portion() const { return impl_->scan.copying; }

}  // namespace tagcut
