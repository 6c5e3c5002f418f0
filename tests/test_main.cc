// Runs the suite on one kernel: the fastest this processor runs, or the one
// `--tagcut_kernel=NAME` names (ctest registers the suite once per kernel).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "kernel.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  constexpr std::string_view kOption = "--tagcut_kernel=";
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (!argument.starts_with(kOption)) continue;
    const std::string_view wanted = argument.substr(kOption.size());
    const tagcut::Kernel* chosen = nullptr;
    for (const tagcut::Kernel* kernel : tagcut::SupportedKernels()) {
      if (wanted == kernel->name) chosen = kernel;
    }
    if (chosen == nullptr) {
      std::fprintf(stderr, "no kernel '%.*s' on this processor\n", static_cast<int>(wanted.size()),
                   wanted.data());
      return 2;
    }
    tagcut::SelectKernelForTesting(chosen);
  }
  std::printf("kernel: %s\n", tagcut::SelectedKernel().name);
  return RUN_ALL_TESTS();
}
