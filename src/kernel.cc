// The kernels. The portable one first; then each vector instruction set's
// primitives (avx2_ops.inc, avx512_ops.inc, neon_ops.inc: the only code that
// names its instructions), each followed by the kernel written once over
// them (vector_kernel.inc), inside that set's target region; last, the
// table of kernels and the choice among them.
#include "kernel.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

// What the kernels written once over each set (vector_kernel.inc) use.
#include "compaction_masks.h"
#include "compaction_tuning.h"
#include "vector_ops.h"

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

constexpr Kernel kPortableKernel{.name = "portable",
                                 .available = Always,
                                 .slower_on = {},
                                 .routines = {.next_agreeing = NextAgreeingByMemchr,
                                              .find_bounds = nullptr,
                                              .compact_portions = nullptr,
                                              .mark_equal_bytes = MarkEqualBytesPortable,
                                              .count_common_bits = CountCommonBitsCalled}};

#ifdef TAGCUT_X86
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

// AVX-512's scan of two one-byte tags, one mask word a window, was 4% faster
// than AVX2's on Zen 5; its scan of longer tags up to 7% slower on sparse
// link targets read through the portion entry points.
BoundScan FindBoundsEachAtItsBest(const ShortTags& tags, std::span<const unsigned char> block,
                                  std::size_t from, bool copying, const BoundList& list) {
  const bool one_byte_each = tags.tags[0]->length == 1 && tags.tags[1]->length == 1;
  return one_byte_each ? avx512::FindBounds(tags, block, from, copying, list)
                       : avx2::FindBounds(tags, block, from, copying, list);
}

// Each set where it is faster: AVX-512's compress writes dense portions at
// up to twice AVX2's speed; its candidate search is no faster than AVX2's.
constexpr KernelRoutines kAvx512CompactionRoutines{.next_agreeing = avx2::NextAgreeing,
                                                   .find_bounds = FindBoundsEachAtItsBest,
                                                   .compact_portions = avx512::CompactPortions,
                                                   .mark_equal_bytes = avx512::MarkEqualBytes,
                                                   .count_common_bits = avx512::CountCommonBits};

// The first three rows of x86. avx512-compaction goes first wherever
// AVX-512 VBMI2 runs: measured at least as fast as AVX2 on every row on
// AMD's Zen 4 (family 25) and Zen 5 (family 26), and a processor measured
// slower is named in its `slower_on`, with the measurement (none so far).
// AVX-512's own row, all its routines, comes after AVX2: slower than AVX2
// on most rows on Zen 4 and Zen 5 (CHANGELOG, 1.5.0).
constexpr Kernel kAvx512CompactionKernel{.name = "avx512-compaction",
                                         .available = HaveAvx512,
                                         .slower_on = {},
                                         .routines = kAvx512CompactionRoutines};
constexpr Kernel kAvx2Kernel{
    .name = "avx2", .available = HaveAvx2, .slower_on = {}, .routines = avx2::kRoutines};
constexpr Kernel kAvx512Kernel{
    .name = "avx512", .available = HaveAvx512, .slower_on = {}, .routines = avx512::kRoutines};
#endif  // TAGCUT_X86

#ifdef TAGCUT_NEON
namespace neon {
#include "neon_ops.inc"
#include "vector_kernel.inc"
}  // namespace neon

constexpr Kernel kNeonKernel{
    .name = "neon", .available = Always, .slower_on = {}, .routines = neon::kRoutines};
#endif

// The table, in the order the kernels are preferred.
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

bool RunsHere(const Kernel& kernel) { return kernel.available(); }

// Says once that TAGCUT_KERNEL named no kernel this processor runs, and which
// one runs instead: one write, from the stack (a refused allocation must not
// turn a run into a failure).
void SayKernelNotRunHere(const char* wanted, const Kernel& instead) {
  char runs[256] = "";
  std::size_t used = 0;
  for (const Kernel* kernel : kBuiltInKernels) {
    if (!kernel->available() || used >= sizeof runs) continue;
    const int added =
        std::snprintf(runs + used, sizeof runs - used, "%s%s", used == 0 ? "" : ", ", kernel->name);
    if (added > 0) used += static_cast<std::size_t>(added);
  }
  std::fprintf(stderr,
               "tagcut: TAGCUT_KERNEL=\"%s\" names no kernel this processor runs (it runs: %s); "
               "running %s\n",
               wanted, runs, instead.name);
}

// The rule's kernel, or the one TAGCUT_KERNEL names if this processor runs it.
const Kernel& DefaultKernel() {
  static const Kernel* const chosen = [] {
    const Kernel* first = FirstChoice(kBuiltInKernels, ThisProcessorFamily(), RunsHere);
    const char* wanted = std::getenv("TAGCUT_KERNEL");
    if (wanted == nullptr) return first;
    for (const Kernel* kernel : kBuiltInKernels) {
      if (kernel->available() && std::string_view(wanted) == kernel->name) return kernel;
    }
    SayKernelNotRunHere(wanted, *first);
    return first;
  }();
  return *chosen;
}

const Kernel* kernel_for_testing = nullptr;

}  // namespace

bool ProcessorFamily::operator==(const ProcessorFamily& other) const {
  return family == other.family && std::string_view(vendor) == other.vendor;
}

ProcessorFamily ThisProcessorFamily() {
#ifdef TAGCUT_X86
  // Asked once, so the vendor string is written once, whatever thread asks.
  static const ProcessorFamily asked = [] {
    static char vendor[13] = {};
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return ProcessorFamily{"", 0};
    std::memcpy(vendor, &ebx, 4);
    std::memcpy(vendor + 4, &edx, 4);
    std::memcpy(vendor + 8, &ecx, 4);
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return ProcessorFamily{vendor, 0};
    const unsigned int base_family = (eax >> 8) & 0xF;
    return ProcessorFamily{vendor,
                           base_family == 0xF ? base_family + ((eax >> 20) & 0xFF) : base_family};
  }();
  return asked;
#else
  return {"", 0};
#endif
}

const Kernel* FirstChoice(std::span<const Kernel* const> table, ProcessorFamily family,
                          bool (*runs)(const Kernel&)) {
  const Kernel* last_run = nullptr;
  for (const Kernel* kernel : table) {
    if (!runs(*kernel)) continue;
    last_run = kernel;
    const bool slower =
        std::any_of(kernel->slower_on.begin(), kernel->slower_on.end(),
                    [&](const SlowerOn& slower_on) { return slower_on.processor == family; });
    if (!slower) return kernel;
  }
  return last_run;
}

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
