#include "tagcut/extract.h"

#include <utility>

#include "cpu_features.h"
#include "scan_engine.h"

namespace tagcut {
namespace {

#ifdef TAGCUT_X86
// Bit i set when data[i] == byte, for i in 0 .. 63.
__attribute__((target("avx2"), always_inline)) inline std::uint64_t ByteMask64(
    const unsigned char* data, __m256i byte) {
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data));
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 32));
  const auto low_bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, byte)));
  const auto high_bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, byte)));
  return low_bits | (std::uint64_t{high_bits} << 32);
}

// Scans whole 64-byte chunks of `block` for two single-byte tags, writing
// each portion as soon as its end is seen; returns the offset of the first
// byte not scanned. On return every scanned byte of an open portion has been
// released, so the scalar path can carry on with state 0.
__attribute__((target("avx2"))) std::size_t ScanSingleByteTagsAvx2(
    std::span<const unsigned char> block, unsigned char start_byte,
    unsigned char end_byte, bool& copying, OutputSink& sink) {
  const unsigned char* data = block.data();
  const __m256i start_vector = _mm256_set1_epi8(static_cast<char>(start_byte));
  const __m256i end_vector = _mm256_set1_epi8(static_cast<char>(end_byte));
  bool in_portion = copying;
  std::size_t run_start = 0;
  std::size_t chunk = 0;
  for (; chunk + 64 <= block.size(); chunk += 64) {
    const std::uint64_t starts = ByteMask64(data + chunk, start_vector);
    const std::uint64_t ends = ByteMask64(data + chunk, end_vector);
    if ((in_portion ? ends : starts) == 0) continue;
    std::uint64_t not_before = ~std::uint64_t{0};  // bits at or after the cursor
    for (;;) {
      const std::uint64_t hits = (in_portion ? ends : starts) & not_before;
      if (hits == 0) break;
      const int bit = __builtin_ctzll(hits);
      const std::size_t at = chunk + static_cast<std::size_t>(bit);
      if (in_portion) {
        sink.Append(data + run_start, at - run_start);
        sink.Put('\n');
      } else {
        run_start = at + 1;
      }
      in_portion = !in_portion;
      not_before = bit == 63 ? 0 : ~std::uint64_t{0} << (bit + 1);
    }
  }
  if (in_portion) sink.Append(data + run_start, chunk - run_start);
  copying = in_portion;
  return chunk;
}
#endif

}  // namespace

ScanEngine::ScanEngine(std::string start_tag, std::string end_tag)
    : start_(std::move(start_tag)), end_(std::move(end_tag)) {
#ifdef TAGCUT_X86
  single_byte_tags_ = HaveAvx2() && start_.tag().size() == 1 && end_.tag().size() == 1;
#endif
}

void ScanEngine::Release(std::uint32_t held,
                        std::span<const unsigned char> block, std::size_t from,
                        std::size_t to, std::size_t keep,
                        OutputSink& sink) const {
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
  std::size_t position = 0;
#ifdef TAGCUT_X86
  // A one-byte tag never leaves a partial match, so the state is 0 here.
  if (single_byte_tags_) {
    position = ScanSingleByteTagsAvx2(block, static_cast<unsigned char>(start_.tag()[0]),
                                      static_cast<unsigned char>(end_.tag()[0]), scan.copying,
                                      sink);
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
    sink.Put('\n');
    scan.copying = false;
    position = found;
  }
}

void ScanEngine::Finish(ScanState& scan, OutputSink& sink) const {
  if (scan.copying) {
    Release(scan.state, {}, 0, 0, /*keep=*/0, sink);  // the held end-tag prefix
    sink.Put('\n');
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
