// The kernels. The portable one first; then each vector instruction set's
// primitives (avx2_ops.inc, avx512_ops.inc, neon_ops.inc: the only code that
// names its instructions), each followed by the kernel written once over
// them (vector_kernel.inc), inside that set's target region; last, the
// table of kernels and the choice among them.
#include "kernel.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define TAGCUT_X86 1
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#define TAGCUT_NEON 1
#endif

// A target region: every function defined between the two compiles for the
// named instruction sets, and runs only where the table's `available` says
// the processor has them.
#define TAGCUT_PRAGMA(text) _Pragma(#text)
#if defined(__clang__)
#define TAGCUT_TARGET_BEGIN(features) \
  TAGCUT_PRAGMA(clang attribute push(__attribute__((target(features))), apply_to = function))
#define TAGCUT_TARGET_END TAGCUT_PRAGMA(clang attribute pop)
#else
#define TAGCUT_TARGET_BEGIN(features) \
  TAGCUT_PRAGMA(GCC push_options) TAGCUT_PRAGMA(GCC target(features))
#define TAGCUT_TARGET_END TAGCUT_PRAGMA(GCC pop_options)
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
  const std::size_t head_length = std::min<std::size_t>(search.tag->length, kVectorBytes);
  std::size_t p = from;
  while (p < search.limit) {
    const void* hit = std::memchr(data + p + lead.offset, lead.byte, search.limit - p);
    if (hit == nullptr) break;
    const std::size_t candidate =
        static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - data) - lead.offset;
    p = candidate + 1;
    if (!ProbesAgree(data, candidate, hints)) continue;
    if (std::memcmp(data + candidate, search.tag->head.data(), head_length) == 0) {
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

bool Always() { return true; }

constexpr Kernel kPortableKernel{
    "portable",           Always, NextAgreeingByMemchr, nullptr, nullptr, MarkEqualBytesPortable,
    CountCommonBitsCalled};

#ifdef TAGCUT_X86
#define TAGCUT_TARGET_HAS_BMI 1  // every x86 region below compiles for BMI1
TAGCUT_TARGET_BEGIN("avx2,bmi,bmi2,popcnt,pclmul")
namespace avx2 {
#include "avx2_ops.inc"
#include "vector_kernel.inc"
}  // namespace avx2
TAGCUT_TARGET_END

TAGCUT_TARGET_BEGIN("avx512f,avx512bw,avx512vbmi2,avx2,bmi,bmi2,popcnt")
namespace avx512 {
#include "avx512_ops.inc"
#include "vector_kernel.inc"
}  // namespace avx512
TAGCUT_TARGET_END

// Asked at run time so one binary runs everywhere. Safe to call from any
// constructor, static ones included.
bool HaveAvx2() {
  __builtin_cpu_init();  // needed when called before the runtime's own constructors
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt") &&
         __builtin_cpu_supports("pclmul");
}

// The compilers' runtimes report AVX-512 only where the operating system
// also saves the mask and 512-bit registers (XCR0), so a "yes" is safe to act on.
bool HaveAvx512() {
  __builtin_cpu_init();
  return HaveAvx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi2");
}

#undef TAGCUT_TARGET_HAS_BMI

constexpr Kernel kAvx2Kernel = avx2::MakeKernel("avx2", HaveAvx2);
constexpr Kernel kAvx512Kernel = avx512::MakeKernel("avx512", HaveAvx512);

// Each set where it is faster, as measured on AMD's Zen 5 (docs/benchmarks.md):
// AVX-512's byte compress writes dense portions at twice AVX2's speed, and
// its scan of two one-byte tags, one mask word a window, was 4% faster; but
// its scan of longer tags was up to 7% slower on sparse link targets read
// through the portion entry points, and its candidate search no faster.
BoundScan FindBoundsEachAtItsBest(const ShortTags& tags, std::span<const unsigned char> block,
                                  std::size_t from, bool copying, const BoundList& list) {
  const bool one_byte_each = tags.tags[0]->length == 1 && tags.tags[1]->length == 1;
  return one_byte_each ? avx512::FindBounds(tags, block, from, copying, list)
                       : avx2::FindBounds(tags, block, from, copying, list);
}

constexpr Kernel kAvx512CompactionKernel{"avx512-compaction",     HaveAvx512,
                                         avx2::NextAgreeing,      FindBoundsEachAtItsBest,
                                         avx512::CompactPortions, avx512::MarkEqualBytes,
                                         avx512::CountCommonBits};

// The processors where a kernel that goes before AVX2 in the table was
// measured at least as fast as every other on every row of the
// microbenchmark: AMD's family 26 (Zen 5). Elsewhere AVX2 stays first until
// measured there too.
bool MeasuredFasterThanAvx2Here() {
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool amd = ebx == 0x68747541 && edx == 0x69746e65 && ecx == 0x444d4163;  // "AuthenticAMD"
  if (!amd || __get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  const unsigned int base_family = (eax >> 8) & 0xF;
  const unsigned int family = base_family == 0xF ? base_family + ((eax >> 20) & 0xFF) : base_family;
  return family == 26;
}
#endif  // TAGCUT_X86

#ifdef TAGCUT_NEON
namespace neon {
#include "neon_ops.inc"
#include "vector_kernel.inc"
}  // namespace neon

constexpr Kernel kNeonKernel = neon::MakeKernel("neon", Always);
#endif

// The table, in the order the kernels are preferred: a kernel is preferred
// only where it is measured at least as fast on every row of the
// microbenchmark (one core). AVX2 comes before AVX-512, which was slower on
// most rows on AMD's Zen 4 and Zen 5 (CHANGELOG, 1.5.0) and is still slower on
// sparse link targets; AVX-512's compaction over AVX2's scans comes first,
// but only on the processors `ChosenFirstHere` allows.
constexpr const Kernel* kBuiltInKernels[] = {
#ifdef TAGCUT_X86
    &kAvx512CompactionKernel,
    &kAvx2Kernel,
    &kAvx512Kernel,
#endif
#ifdef TAGCUT_NEON
    &kNeonKernel,
#endif
    &kPortableKernel,
};

// Whether the kernel may be chosen first on this processor, where it runs.
bool ChosenFirstHere(const Kernel* kernel) {
#ifdef TAGCUT_X86
  if (kernel == &kAvx512CompactionKernel) return MeasuredFasterThanAvx2Here();
#endif
  (void)kernel;
  return true;
}

// The first kernel this processor runs and may choose first, or the one
// TAGCUT_KERNEL names if it runs that one.
const Kernel& DefaultKernel() {
  static const Kernel* const chosen = [] {
    const char* wanted = std::getenv("TAGCUT_KERNEL");
    const Kernel* first = nullptr;
    for (const Kernel* kernel : kBuiltInKernels) {
      if (!kernel->available()) continue;
      if (first == nullptr && ChosenFirstHere(kernel)) first = kernel;
      if (wanted != nullptr && std::string_view(wanted) == kernel->name) return kernel;
    }
    return first;
  }();
  return *chosen;
}

const Kernel* kernel_for_testing = nullptr;

}  // namespace

std::span<const Kernel* const> BuiltInKernels() { return kBuiltInKernels; }

const Kernel& SelectedKernel() {
  return kernel_for_testing != nullptr ? *kernel_for_testing : DefaultKernel();
}

std::vector<const Kernel*> SupportedKernels() {
  std::vector<const Kernel*> kernels;
  for (const Kernel* kernel : kBuiltInKernels) {
    if (kernel->available()) kernels.push_back(kernel);
  }
  return kernels;
}

void SelectKernelForTesting(const Kernel* kernel) { kernel_for_testing = kernel; }

}  // namespace tagcut
