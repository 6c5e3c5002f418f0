// Read block: the buffer an input adapter reads into, taken once before the
// first read and never refused. When the system has no room for the size
// wanted, it takes half, and so on down to a small block of its own (inside
// the object, so on the stack where the adapter keeps it): reads then take
// fewer bytes at a time, and the output is the same.
//
// For the input adapters; not installed. Not zeroed, so a small input
// touches only the pages it fills. Page-aligned (page_aligned_buffer.h says
// why).
#ifndef TAGCUT_READ_BLOCK_H_
#define TAGCUT_READ_BLOCK_H_

#include <cstddef>
#include <span>

#include "tagcut/page_aligned_buffer.h"

namespace tagcut {

class ReadBlock {
 public:
  explicit ReadBlock(std::size_t wanted)
      : heap_(wanted, kFallbackSize + 1), bytes_(fallback_, kFallbackSize) {
    if (heap_.size() != 0) bytes_ = {heap_.data(), heap_.size()};
  }
  ReadBlock(const ReadBlock&) = delete;
  ReadBlock& operator=(const ReadBlock&) = delete;

  std::span<unsigned char> bytes() const { return bytes_; }

 private:
  static constexpr std::size_t kFallbackSize = 4096;
  PageAlignedBuffer heap_;
  alignas(64) unsigned char fallback_[kFallbackSize];
  std::span<unsigned char> bytes_;
};

}  // namespace tagcut

#endif  // TAGCUT_READ_BLOCK_H_
