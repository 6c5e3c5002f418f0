// Refusing the test binary's own allocations, as an exhausted system would:
// while a RefusedAllocations is alive, every operator new counts, and the
// chosen ones throw std::bad_alloc (the nothrow forms return null). The
// replaced operators live in test_main.cc; outside a scope they only pass
// allocations on to malloc.
#ifndef TAGCUT_TESTS_ALLOCATION_REFUSAL_H_
#define TAGCUT_TESTS_ALLOCATION_REFUSAL_H_

#include <cstddef>

namespace tagcut::testing {

class RefusedAllocations {
 public:
  // Refuses the `ordinal`-th allocation from now (from 1; 0 refuses none)
  // and, with `onward`, every one after it, on any thread.
  RefusedAllocations(std::size_t ordinal, bool onward);
  ~RefusedAllocations();
  RefusedAllocations(const RefusedAllocations&) = delete;
  RefusedAllocations& operator=(const RefusedAllocations&) = delete;

  // Allocations made (refused ones included) since the scope opened.
  std::size_t made() const;
};

}  // namespace tagcut::testing

#endif  // TAGCUT_TESTS_ALLOCATION_REFUSAL_H_
