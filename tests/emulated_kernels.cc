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
// alone; the warning is about calls between code built with and without
// AVX, which this file makes none of.
#pragma GCC diagnostic ignored "-Wpsabi"
#include <simde/x86/avx512.h>
#define TAGCUT_EMULATED_AVX512 1
#endif

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "kernel.h"
#include "tag_probes.h"
#include "test_support.h"

namespace tagcut {
namespace {

#ifdef TAGCUT_EMULATED_AVX512
namespace emulated_avx512 {

#include "avx512_ops.inc"
#include "candidate_windows.inc"
#include "two_tag_scan.inc"

}  // namespace emulated_avx512

constexpr Kernel kEmulatedAvx512Kernel{"avx512-emulated", emulated_avx512::NextAgreeing,
                                       emulated_avx512::FindBounds, emulated_avx512::MarkEqualBytes,
                                       emulated_avx512::CountCommonBits};
#endif

}  // namespace

namespace testing {

std::vector<const Kernel*> KernelsUnderTest() {
  std::vector<const Kernel*> kernels = SupportedKernels();
#ifdef TAGCUT_EMULATED_AVX512
  kernels.push_back(&kEmulatedAvx512Kernel);
#endif
  return kernels;
}

}  // namespace testing
}  // namespace tagcut
