// Read block: the buffer an input adapter reads into, taken once before the
// first read and never refused. When the system has no room for the size
// wanted, it takes half, and so on down to a small block of its own (inside
// the object, so on the stack where the adapter keeps it): reads then take
// fewer bytes at a time, and the output is the same.
//
// For the input adapters; not installed. Not zeroed, so a small input
// touches only the pages it fills. Page-aligned (page_aligned.h says why).
#ifndef TAGCUT_READ_BLOCK_H_
#define TAGCUT_READ_BLOCK_H_

#include <cstddef>
#include <span>

#include "page_aligned.h"

namespace tagcut {

class ReadBlock {
 public:
  explicit ReadBlock(std::size_t wanted) : bytes_(fallback_, kFallbackSize) {
    for (std::size_t size = wanted; size > kFallbackSize; size /= 2) {
      heap_ = TryAllocatePageAligned(size);
      if (heap_) {
        bytes_ = {heap_.get(), size};
        break;
      }
    }
  }
  ReadBlock(const ReadBlock&) = delete;
  ReadBlock& operator=(const ReadBlock&) = delete;

  std::span<unsigned char> bytes() const { return bytes_; }

 private:
  static constexpr std::size_t kFallbackSize = 4096;
  PageAlignedBytes heap_;
  alignas(64) unsigned char fallback_[kFallbackSize];
  std::span<unsigned char> bytes_;
};

}  // namespace tagcut

#endif  // TAGCUT_READ_BLOCK_H_
