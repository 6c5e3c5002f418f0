// The kernels. The portable one first; then, inside the target region of
// each vector instruction set (AVX2, AVX-512), that set's `Ops` (the only
// code that names its instructions: avx2_ops.inc, avx512_ops.inc) and the
// loops written once over any `Ops` (candidate_windows.inc,
// two_tag_scan.inc); last, the choice among them.
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

}  // namespace

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

namespace {

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

#include "avx2_ops.inc"
#include "candidate_windows.inc"
#include "two_tag_scan.inc"

}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

constexpr Kernel kAvx2Kernel{"avx2", avx2::NextAgreeing, avx2::FindBounds, avx2::MarkEqualBytes,
                             avx2::CountCommonBits};

// The same for AVX-512 F and BW (and AVX2, BMI1, BMI2 and popcnt, which
// every processor with them has).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx2,bmi,bmi2,popcnt"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx2,bmi,bmi2,popcnt")
#endif
namespace avx512 {

#include "avx512_ops.inc"
#include "candidate_windows.inc"
#include "two_tag_scan.inc"

}  // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

constexpr Kernel kAvx512Kernel{"avx512", avx512::NextAgreeing, avx512::FindBounds,
                               avx512::MarkEqualBytes, avx512::CountCommonBits};

// Asked at run time so one binary runs everywhere. Safe to call from any
// constructor, static ones included.
bool HaveAvx2() {
  __builtin_cpu_init();  // needed when called before the runtime's own constructors
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
}

// The compilers' runtimes report AVX-512 only where the operating system
// also saves the mask and 512-bit registers (XCR0), so a "yes" is safe to act on.
bool HaveAvx512() {
  __builtin_cpu_init();
  return HaveAvx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}
#endif  // TAGCUT_X86

const Kernel& FastestKernel() {
#ifdef TAGCUT_X86
  static const Kernel* const fastest = HaveAvx512() ? &kAvx512Kernel
                                       : HaveAvx2() ? &kAvx2Kernel
                                                    : &kPortableKernel;
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
  std::vector<const Kernel*> kernels;
#ifdef TAGCUT_X86
  if (HaveAvx512()) kernels.push_back(&kAvx512Kernel);
  if (HaveAvx2()) kernels.push_back(&kAvx2Kernel);
#endif
  kernels.push_back(&kPortableKernel);
  return kernels;
}

void SelectKernelForTesting(const Kernel* kernel) { kernel_for_testing = kernel; }

}  // namespace tagcut
