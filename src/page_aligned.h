// Page-aligned byte buffers, for the buffers the kernel copies into: it
// copies from the page cache into a buffer that is not 32-byte aligned
// several times slower (measured here: 4 to 5 times, 256 KiB reads from a
// cached file), and malloc puts a large block 16 bytes into a page.
//
// For the input paths; not installed. (OutputSink, a public header, keeps
// the same rule for its own buffer.)
#ifndef TAGCUT_PAGE_ALIGNED_H_
#define TAGCUT_PAGE_ALIGNED_H_

#include <cstddef>
#include <memory>
#include <new>

namespace tagcut {

inline constexpr std::align_val_t kPageAlignment{4096};

struct FreePageAligned {
  void operator()(unsigned char* bytes) const { ::operator delete[](bytes, kPageAlignment); }
};

using PageAlignedBytes = std::unique_ptr<unsigned char[], FreePageAligned>;

// `size` bytes, not zeroed, or null where the system refuses them.
inline PageAlignedBytes TryAllocatePageAligned(std::size_t size) {
  return PageAlignedBytes(new (kPageAlignment, std::nothrow) unsigned char[size]);
}

}  // namespace tagcut

#endif  // TAGCUT_PAGE_ALIGNED_H_
