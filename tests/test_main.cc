// Runs the suite on one kernel: the fastest this processor runs, or the one
// `--tagcut_kernel=NAME` names (ctest registers the suite once per kernel;
// where that kernel is not here, its run is skipped).
// Also home to the replaced allocation operators behind RefusedAllocations:
// every form is replaced, so that what the suite's operator new allocates
// its operator delete frees, sanitizers or not.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "allocation_refusal.h"
#include "kernel.h"
#include "test_support.h"

namespace {

std::atomic<bool> refusing{false};
std::atomic<std::size_t> allocations_made{0};
std::size_t refused_from = 0;
bool refuse_onward = false;

bool Refuse() {
  if (!refusing.load(std::memory_order_relaxed)) return false;
  const std::size_t ordinal = allocations_made.fetch_add(1, std::memory_order_relaxed) + 1;
  return refused_from != 0 &&
         (ordinal == refused_from || (refuse_onward && ordinal > refused_from));
}

void* Allocate(std::size_t size) noexcept {
  return Refuse() ? nullptr : std::malloc(size == 0 ? 1 : size);
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) noexcept {
  if (Refuse()) return nullptr;
  // posix_memalign takes any size, so a sanitizer sees the exact bounds.
  void* pointer = nullptr;
  return posix_memalign(&pointer, static_cast<std::size_t>(alignment), size == 0 ? 1 : size) == 0
             ? pointer
             : nullptr;
}

void* OrThrow(void* pointer) {
  if (pointer == nullptr) throw std::bad_alloc();
  return pointer;
}

}  // namespace

namespace tagcut::testing {

RefusedAllocations::RefusedAllocations(std::size_t ordinal, bool onward) {
  refused_from = ordinal;
  refuse_onward = onward;
  allocations_made = 0;
  refusing = true;
}

RefusedAllocations::~RefusedAllocations() { refusing = false; }

std::size_t RefusedAllocations::made() const { return allocations_made.load(); }

}  // namespace tagcut::testing

void* operator new(std::size_t size) { return OrThrow(Allocate(size)); }
void* operator new[](std::size_t size) { return OrThrow(Allocate(size)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  return OrThrow(AllocateAligned(size, alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return OrThrow(AllocateAligned(size, alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, alignment);
}
void operator delete(void* pointer) noexcept { std::free(pointer); }
void operator delete[](void* pointer) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { std::free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { std::free(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { std::free(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::align_val_t) noexcept { std::free(pointer); }
void operator delete[](void* pointer, std::align_val_t) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept { std::free(pointer); }
void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept {
  std::free(pointer);
}
void operator delete(void* pointer, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(pointer);
}
void operator delete[](void* pointer, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(pointer);
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  constexpr std::string_view kOption = "--tagcut_kernel=";
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (!argument.starts_with(kOption)) continue;
    const std::string wanted(argument.substr(kOption.size()));
    const tagcut::Kernel* chosen = tagcut::testing::KernelNamed(wanted);
    if (chosen == nullptr) {
      // The run stands for that kernel, so passing would mislead; ctest
      // reports a run that prints this as skipped.
      std::printf("[  SKIPPED ] kernel %s is not on this processor\n", wanted.c_str());
      return 0;
    }
    tagcut::SelectKernelForTesting(chosen);
  }
  std::printf("kernel: %s\n", tagcut::SelectedKernel().name);
  return RUN_ALL_TESTS();
}
