// Page-aligned buffer: the memory the output sinks and the input paths copy
// through, taken as large as the system grants, up to the size asked for.
//
// Every buffer of the library is a speed-up, never a need: where the system
// refuses the size asked for, the buffer takes half, and so on down to the
// least size its owner can use, and else none at all (size 0), which the
// owner must handle. Constructing one never throws. Page-aligned because
// the kernel copies from the page cache into a buffer that is not 32-byte
// aligned several times slower (4 to 5 times, measured with 256 KiB reads
// of a cached file), and malloc puts a large block 16 bytes into a page.
// Not zeroed, so a small input touches only the pages it fills.
//
// Example:
//   tagcut::PageAlignedBuffer buffer(1 << 20, 4096);  // 1 MiB, or down to 4 KiB
//   if (buffer.size() == 0) { /* go on without it */ }
#ifndef TAGCUT_PAGE_ALIGNED_BUFFER_H_
#define TAGCUT_PAGE_ALIGNED_BUFFER_H_

#include <cstddef>
#include <memory>
#include <new>

namespace tagcut {

class PageAlignedBuffer {
 public:
  PageAlignedBuffer() = default;

  // `wanted` bytes, or the largest of wanted / 2, wanted / 4, ... that is
  // at least `least` (and at least 1) and that the system grants.
  explicit PageAlignedBuffer(std::size_t wanted, std::size_t least = 1) {
    if (least == 0) least = 1;
    for (std::size_t size = wanted; size >= least && size != 0; size /= 2) {
      bytes_.reset(new (kAlignment, std::nothrow) unsigned char[size]);
      if (bytes_) {
        size_ = size;
        return;
      }
    }
  }

  unsigned char* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }  // 0: none was granted

 private:
  static constexpr std::align_val_t kAlignment{4096};
  struct Free {
    void operator()(unsigned char* bytes) const { ::operator delete[](bytes, kAlignment); }
  };
  std::unique_ptr<unsigned char[], Free> bytes_;
  std::size_t size_ = 0;
};

}  // namespace tagcut

#endif  // TAGCUT_PAGE_ALIGNED_BUFFER_H_
