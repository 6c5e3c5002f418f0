// Kernels for instruction sets this processor may lack, compiled from the
// kernels' own sources over an emulation of the instructions (SIMDe, which
// implements each intrinsic portably), so that their logic runs in the suite
// and the fuzzers on any x86 processor. They are as slow as emulation is:
// only their results count. Without the emulation's headers there are none.
#if (defined(__x86_64__) || defined(__i386__)) && __has_include(<simde/x86/avx512.h>)
// First, before anything can include the compiler's own intrinsics header:
// where the processor lacks an instruction set, its intrinsics' names then
// mean the emulation's.
#define SIMDE_ENABLE_NATIVE_ALIASES
// The emulation's vector types pass by value between functions of this file
// alone, so the warning about an ABI shared with code built for AVX does
// not apply. (GCC's note of the same, which this does not silence, is
// turned off for this file by the build.)
#pragma GCC diagnostic ignored "-Wpsabi"
#include <simde/x86/avx512.h>
#define TAGCUT_EMULATED_AVX512 1
#endif
#if (defined(__x86_64__) || defined(__i386__)) && __has_include(<simde/arm/neon.h>)
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/arm/neon.h>
#define TAGCUT_EMULATED_NEON 1
#endif

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "compaction_masks.h"
#include "compaction_tuning.h"
#include "kernel.h"
#include "test_support.h"
#include "vector_ops.h"

namespace tagcut {
namespace {

[[maybe_unused]] bool Always() { return true; }

#ifdef TAGCUT_EMULATED_AVX512
// The emulation has no byte compress (VBMI2): the kept bytes, lowest first,
// then zeros.
simde__m512i CompressBytes(simde__mmask64 keep, simde__m512i bytes) {
  alignas(64) unsigned char lanes[64], packed[64] = {};
  simde_mm512_store_si512(lanes, bytes);
  for (std::size_t lane = 0, used = 0; lane < 64; ++lane) {
    if (((keep >> lane) & 1) != 0) packed[used++] = lanes[lane];
  }
  return simde_mm512_load_si512(packed);
}
#define _mm512_maskz_compress_epi8 CompressBytes
// Nor BMI's count of trailing zeros, which needs a processor with BMI.
std::uint64_t CountTrailingZeros(std::uint64_t mask) {
  return static_cast<std::uint64_t>(std::countr_zero(mask));
}
#define _tzcnt_u64 CountTrailingZeros

namespace emulated_avx512 {
#include "avx512_ops.inc"
#include "vector_kernel.inc"
}  // namespace emulated_avx512
#undef _mm512_maskz_compress_epi8
#undef _tzcnt_u64

constexpr Kernel kEmulatedAvx512Kernel{.name = "avx512-emulated",
                                       .available = Always,
                                       .slower_on = {},
                                       .routines = emulated_avx512::kRoutines};
#endif

#ifdef TAGCUT_EMULATED_NEON
namespace emulated_neon {
#include "neon_ops.inc"
#include "vector_kernel.inc"
}  // namespace emulated_neon

constexpr Kernel kEmulatedNeonKernel{.name = "neon-emulated",
                                     .available = Always,
                                     .slower_on = {},
                                     .routines = emulated_neon::kRoutines};
#endif

}  // namespace

namespace testing {

std::vector<const Kernel*> KernelsUnderTest() {
  std::vector<const Kernel*> kernels = SupportedKernels();
#ifdef TAGCUT_EMULATED_AVX512
  kernels.push_back(&kEmulatedAvx512Kernel);
#endif
#ifdef TAGCUT_EMULATED_NEON
  kernels.push_back(&kEmulatedNeonKernel);
#endif
  return kernels;
}

const Kernel* KernelNamed(std::string_view name) {
  for (const Kernel* kernel : KernelsUnderTest()) {
    if (name == kernel->name) return kernel;
  }
  return nullptr;
}

}  // namespace testing
}  // namespace tagcut
