// The kernels. The portable one first; then, inside the target region of
// each vector instruction set, that set's `Ops` (the only code that names
// its instructions) and the loops written once over any `Ops`
// (candidate_windows.inc, two_tag_scan.inc).
#include "kernel.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>
#include <utility>

#include "tag_probes.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAGCUT_X86 1
#endif

namespace tagcut {
namespace {

// True when the bytes at `data + p` agree with every probe in `hints`.
inline bool ProbesAgree(const unsigned char* data, std::size_t p, const SearchHints& hints) {
  for (std::uint32_t i = 0; i < hints.probe_count; ++i) {
    if (data[p + hints.probes[i].offset] != hints.probes[i].byte) return false;
  }
  return true;
}

// The portable candidate search: the first probe's byte by memchr, then the
// other probes, then the head.
Agreement NextAgreeingByMemchr(const CandidateSearch& search, SearchHints& hints,
                               std::size_t& from) {
  const unsigned char* data = search.data;
  const Probe lead = hints.probes[0];
  const std::size_t head_length = std::min<std::size_t>(search.probes->length(), kVectorBytes);
  std::size_t p = from;
  while (p < search.limit) {
    const void* hit = std::memchr(data + p + lead.offset, lead.byte, search.limit - p);
    if (hit == nullptr) break;
    const std::size_t candidate =
        static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - data) - lead.offset;
    p = candidate + 1;
    if (!ProbesAgree(data, candidate, hints)) continue;
    if (std::memcmp(data + candidate, search.probes->head(), head_length) == 0) {
      from = candidate;
      return Agreement::kHead;
    }
    if (BookFalseCandidate(hints, StreamOffset(hints, search.call_start, candidate))) {
      from = p;
      return Agreement::kRepick;
    }
  }
  from = search.limit;
  return Agreement::kNone;
}

void MarkEqualBytesPortable(const unsigned char* at, std::size_t count, unsigned char wanted,
                            std::uint64_t* bits) {
  for (std::size_t i = 0; i < count; ++i)
    bits[i / 64] |= std::uint64_t{at[i] == wanted} << (i % 64);
}

__attribute__((always_inline)) inline std::size_t CountCommonBitsPortable(const std::uint64_t* a,
                                                                          const std::uint64_t* b,
                                                                          std::size_t words) {
  std::size_t common = 0;
  for (std::size_t w = 0; w < words; ++w)
    common += static_cast<std::size_t>(std::popcount(a[w] & b[w]));
  return common;
}

std::size_t CountCommonBitsCalled(const std::uint64_t* a, const std::uint64_t* b,
                                  std::size_t words) {
  return CountCommonBitsPortable(a, b, words);
}

constexpr Kernel kPortableKernel{"portable", NextAgreeingByMemchr, nullptr, MarkEqualBytesPortable,
                                 CountCommonBitsCalled};

#ifdef TAGCUT_X86
// Every function defined from here to the region's end is compiled for AVX2
// (and BMI1, BMI2 and popcnt, which every AVX2 processor has) and runs only
// where the processor reports them.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,popcnt")
#endif
namespace avx2 {

struct Ops {
  // One tag as the vector loops test it: its probes, broadcast, and its head.
  struct Tag {
    std::uint32_t length;
    std::uint32_t probe_count;
    std::uint32_t offsets[4];
    __m256i bytes[4];
    __m256i head;
    std::uint32_t head_mask;
    bool covered;  // the probes test every byte of the tag
  };

  static Tag MakeTag(const TagProbes& probes, const SearchHints& hints) {
    Tag tag{};
    tag.length = probes.length();
    tag.probe_count = hints.probe_count;
    for (std::uint32_t k = 0; k < hints.probe_count; ++k) {
      tag.offsets[k] = hints.probes[k].offset;
      tag.bytes[k] = _mm256_set1_epi8(static_cast<char>(hints.probes[k].byte));
    }
    tag.head = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(probes.head()));
    tag.head_mask = probes.head_mask();
    tag.covered = hints.probe_count == tag.length;
    return tag;
  }

  // Bit i set when the start at + i agrees with the first `count` probes.
  // Inlined with a constant `count`, the loop unrolls and the probe bytes
  // stay in registers. Reads [at + offset, at + offset + kStartsPerWindow) per probe.
  __attribute__((always_inline)) static std::uint64_t ProbeMask(const unsigned char* at,
                                                                const Tag& tag,
                                                                std::uint32_t count) {
    __m256i low = _mm256_set1_epi8(-1);
    __m256i high = low;
    for (std::uint32_t k = 0; k < count; ++k) {
      const unsigned char* probe = at + tag.offsets[k];
      low = _mm256_and_si256(
          low, _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(probe)),
                                 tag.bytes[k]));
      high = _mm256_and_si256(
          high, _mm256_cmpeq_epi8(
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(probe + kVectorBytes)),
                    tag.bytes[k]));
    }
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
           (std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32);
  }

  // The index of the lowest bit set, 64 for none.
  __attribute__((always_inline)) static std::size_t LowestBit(std::uint64_t mask) {
#if defined(__x86_64__)
    return _tzcnt_u64(mask);
#else  // 32-bit x86 has no 64-bit tzcnt
    const auto low = static_cast<std::uint32_t>(mask);
    return low != 0 ? _tzcnt_u32(low) : 32 + _tzcnt_u32(static_cast<std::uint32_t>(mask >> 32));
#endif
  }

  // The tag's head against the kVectorBytes bytes at `at`.
  __attribute__((always_inline)) static bool HeadAgrees(const unsigned char* at, const Tag& tag) {
    if (tag.covered) return true;
    const __m256i seen = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const auto equal =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(seen, tag.head)));
    return (equal & tag.head_mask) == tag.head_mask;
  }
};

#include "candidate_windows.inc"
#include "two_tag_scan.inc"

// Kernel::mark_equal_bytes, kStartsPerWindow starts at a time: a re-pick then costs
// microseconds, not a hundred of them.
void MarkEqualBytes(const unsigned char* at, std::size_t count, unsigned char wanted,
                    std::uint64_t* bits) {
  const __m256i byte = _mm256_set1_epi8(static_cast<char>(wanted));
  std::size_t i = 0;
  for (; i + kStartsPerWindow <= count; i += kStartsPerWindow) {
    const auto low = static_cast<std::uint32_t>(_mm256_movemask_epi8(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + i)), byte)));
    const auto high = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + i + kVectorBytes)), byte)));
    bits[i / 64] = low | std::uint64_t{high} << 32;
  }
  MarkEqualBytesPortable(at + i, count - i, wanted, bits + i / 64);
}

// With the popcnt instruction.
std::size_t CountCommonBits(const std::uint64_t* a, const std::uint64_t* b, std::size_t words) {
  return CountCommonBitsPortable(a, b, words);
}

}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

constexpr Kernel kAvx2Kernel{"avx2", avx2::NextAgreeing, avx2::FindBounds, avx2::MarkEqualBytes,
                             avx2::CountCommonBits};
#endif  // TAGCUT_X86

#ifdef TAGCUT_X86
// Asked at run time so one binary runs everywhere. Safe to call from any
// constructor, static ones included.
bool HaveAvx2() {
  __builtin_cpu_init();  // needed when called before the runtime's own constructors
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
}
#endif

const Kernel& FastestKernel() {
#ifdef TAGCUT_X86
  static const Kernel* const fastest = HaveAvx2() ? &kAvx2Kernel : &kPortableKernel;
  return *fastest;
#else
  return kPortableKernel;
#endif
}

const Kernel* kernel_for_testing = nullptr;

}  // namespace

const Kernel& SelectedKernel() {
  return kernel_for_testing != nullptr ? *kernel_for_testing : FastestKernel();
}

std::vector<const Kernel*> SupportedKernels() {
  std::vector<const Kernel*> kernels{&FastestKernel()};
  if (kernels.front() != &kPortableKernel) kernels.push_back(&kPortableKernel);
  return kernels;
}

void SelectKernelForTesting(const Kernel* kernel) { kernel_for_testing = kernel; }

}  // namespace tagcut
