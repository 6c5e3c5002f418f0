// Column buffer: the heap below kMappedFrom, mapped memory with huge pages
// from there on, grown by mremap so a large result is never copied to grow.

#include "tagcut/column_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

namespace tagcut {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kLeastHeapCapacity = 256;

bool IsMapped(std::size_t capacity) { return capacity >= ColumnBuffer::kMappedFrom; }

// Fresh mapped memory of `capacity` bytes, huge pages asked for; null where
// refused.
unsigned char* MapFresh(std::size_t capacity) {
  void* memory =
      mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  // Only a hint: without transparent huge pages the buffer works the same.
  (void)madvise(memory, capacity, MADV_HUGEPAGE);
  return static_cast<unsigned char*>(memory);
}

}  // namespace

ColumnBuffer::~ColumnBuffer() { Release(); }

ColumnBuffer::ColumnBuffer(ColumnBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ColumnBuffer& ColumnBuffer::operator=(ColumnBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void ColumnBuffer::Release() {
  if (data_ == nullptr) return;
  if (IsMapped(capacity_)) {
    munmap(data_, capacity_);
  } else {
    ::operator delete(data_);
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
}

void ColumnBuffer::EraseFront(std::size_t count) {
  count = std::min(count, size_);
  if (count == 0) return;
  std::memmove(data_, data_ + count, size_ - count);
  size_ -= count;
}

void ColumnBuffer::Grow(std::size_t more) {
  if (more > std::numeric_limits<std::size_t>::max() / 4 - size_) throw std::bad_alloc();
  std::size_t capacity = std::max({size_ + more, 2 * capacity_, kLeastHeapCapacity});
  if (!IsMapped(capacity)) {
    auto* grown = static_cast<unsigned char*>(::operator new(capacity));
    if (size_ != 0) std::memcpy(grown, data_, size_);
    const std::size_t size = size_;
    Release();
    data_ = grown;
    size_ = size;
    capacity_ = capacity;
    return;
  }
  capacity = (capacity + kHugePage - 1) / kHugePage * kHugePage;
  unsigned char* grown = nullptr;
  if (IsMapped(capacity_)) {
    void* moved = mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    grown = static_cast<unsigned char*>(moved);
    (void)madvise(grown, capacity, MADV_HUGEPAGE);
  } else {
    grown = MapFresh(capacity);
    if (grown == nullptr) throw std::bad_alloc();
    if (size_ != 0) std::memcpy(grown, data_, size_);
    if (data_ != nullptr) ::operator delete(data_);
  }
  data_ = grown;
  capacity_ = capacity;
}

}  // namespace tagcut
