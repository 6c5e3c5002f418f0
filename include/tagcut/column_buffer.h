// Column buffer: one growing run of bytes for results that may reach
// gigabytes (every portion of an input back to back, their offsets), handed
// on whole to a consumer that reads it in place (a Python buffer, an Arrow
// array) without a copy.
//
// Guarantees: the bytes stay where they are until the buffer grows; growth
// at least doubles the capacity, so appending n bytes costs O(n) in all.
// Small buffers live on the heap. From 1 MiB on the buffer is mapped memory
// that grows by remapping its pages (no byte is copied) and asks for
// transparent huge pages: a 4 KiB page touched for the first time costs
// several microseconds, and a 2 MiB page per 512 of them is most of the cost
// of filling a large result. Aligned to at least 16 bytes (int64 offsets and
// Arrow's buffers need 8).
//
// Refusal: Reserve throws std::bad_alloc where the system refuses the
// memory, and the buffer keeps what it held.
//
// Example:
//   tagcut::ColumnBuffer offsets;
//   offsets.Append(&zero, sizeof zero);
//   std::span<const unsigned char> bytes = offsets.bytes();
#ifndef TAGCUT_COLUMN_BUFFER_H_
#define TAGCUT_COLUMN_BUFFER_H_

#include <cstddef>
#include <cstring>
#include <span>

#include "tagcut/export.h"

namespace tagcut {

class TAGCUT_EXPORT ColumnBuffer {
 public:
  // From this capacity on, mapped memory with huge pages.
  static constexpr std::size_t kMappedFrom = std::size_t{1} << 20;

  ColumnBuffer() = default;
  ~ColumnBuffer();
  ColumnBuffer(ColumnBuffer&& other) noexcept;
  ColumnBuffer& operator=(ColumnBuffer&& other) noexcept;
  ColumnBuffer(const ColumnBuffer&) = delete;
  ColumnBuffer& operator=(const ColumnBuffer&) = delete;

  unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::span<const unsigned char> bytes() const { return {data_, size_}; }

  // Room for `more` bytes past size(), growing where needed; where they
  // go. Throws std::bad_alloc, the buffer unchanged, where refused.
  unsigned char* Reserve(std::size_t more) {
    if (capacity_ - size_ < more) Grow(more);
    return data_ + size_;
  }

  // `count` more bytes, written where Reserve pointed.
  void Commit(std::size_t count) { size_ += count; }

  void Append(const void* bytes, std::size_t count) {
    if (count == 0) return;
    std::memcpy(Reserve(count), bytes, count);
    size_ += count;
  }

  // Keeps the first `size` bytes (no more than it holds).
  void Truncate(std::size_t size) {
    if (size < size_) size_ = size;
  }

  // Drops the first `count` bytes, moving the rest to the front.
  void EraseFront(std::size_t count);

 private:
  void Grow(std::size_t more);
  void Release();

  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tagcut

#endif  // TAGCUT_COLUMN_BUFFER_H_
