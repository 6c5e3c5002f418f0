// Output sink: the buffered byte destination the extractor writes into.
//
// The extractor appends released bytes and closing line feeds; a concrete
// sink (a file descriptor, an ostream, a string in tests) only says how to
// write a run of bytes out. Small appends are copied into one buffer; a run
// at least a quarter of the buffer's size is handed to Write directly, next to
// whatever is buffered, so long portions leave the input buffer without a copy.
// After the first failed write the sink discards everything and stays failed,
// which is how the scan learns to stop.
//
// Any capacity is safe: 0 means unbuffered (every append goes straight to
// Write), and capacities below 4 hand every run that does not fit to Write.
// The buffer is a speed-up, so the capacity asked for is a wish: when the
// system refuses that much memory the sink takes half, and so on down to
// none, and the output is the same. Constructing a sink never throws. The
// buffer is page-aligned: the kernel copies out of a buffer that is not
// 32-byte aligned several times slower.
//
// Cost: memcpy per small append, one Write per buffer-full or large run.
#ifndef TAGCUT_OUTPUT_SINK_H_
#define TAGCUT_OUTPUT_SINK_H_

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "tagcut/export.h"

namespace tagcut {

class TAGCUT_EXPORT OutputSink {
 public:
  explicit OutputSink(std::size_t capacity) : capacity_(capacity) {
    for (; capacity_ != 0; capacity_ /= 2) {
      buffer_.reset(new (kAlignment, std::nothrow) unsigned char[capacity_]);
      if (buffer_) break;
    }
  }
  virtual ~OutputSink() = default;
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  // Queues `count` bytes for output, in order after everything queued before.
  void Append(const unsigned char* bytes, std::size_t count) {
    if (count <= capacity_ - used_) {
      if (count != 0) std::memcpy(buffer_.get() + used_, bytes, count);
      used_ += count;
      return;
    }
    AppendSlow(bytes, count);
  }

  void Put(unsigned char byte) {
    if (used_ < capacity_) {
      buffer_[used_++] = byte;
      return;
    }
    AppendSlow(&byte, 1);
  }

  // Append(bytes, count) then Put('\n'): a portion and the line feed that
  // ends it. A short portion (at most 32 bytes) is copied with one
  // fixed-size move, so 32 bytes must be readable at `bytes` when `count`
  // is at most 32.
  void AppendLine(const unsigned char* bytes, std::size_t count) {
    if (count <= 32 && capacity_ - used_ >= 33) {
      unsigned char* to = buffer_.get() + used_;
      std::memcpy(to, bytes, 32);
      to[count] = '\n';
      used_ += count + 1;
      return;
    }
    Append(bytes, count);
    Put('\n');
  }

  // Writes out everything queued; false once any write has failed.
  bool Flush() {
    if (used_ != 0) Deliver({buffer_.get(), used_}, {});
    used_ = 0;
    return !failed_;
  }

  bool failed() const { return failed_; }

  // Bytes queued and not yet written.
  std::size_t buffered() const { return used_; }

  // The buffer's size: the capacity asked for, or less where it was refused.
  std::size_t capacity() const { return capacity_; }

 protected:
  // Writes `buffered` and then `direct` completely; false on failure.
  virtual bool Write(std::span<const unsigned char> buffered,
                     std::span<const unsigned char> direct) = 0;

 private:
  // `count` does not fit beside what is buffered.
  void AppendSlow(const unsigned char* bytes, std::size_t count) {
    if (count >= capacity_ / 4) {  // also every count that exceeds the buffer
      Deliver({buffer_.get(), used_}, {bytes, count});
      used_ = 0;
      return;
    }
    Flush();
    std::memcpy(buffer_.get(), bytes, count);
    used_ = count;
  }

  void Deliver(std::span<const unsigned char> buffered, std::span<const unsigned char> direct) {
    if (!failed_ && !Write(buffered, direct)) failed_ = true;
  }

  static constexpr std::align_val_t kAlignment{4096};
  struct Free {
    void operator()(unsigned char* bytes) const { ::operator delete[](bytes, kAlignment); }
  };
  std::unique_ptr<unsigned char[], Free> buffer_;
  std::size_t capacity_;
  std::size_t used_ = 0;
  bool failed_ = false;
};

}  // namespace tagcut

#endif  // TAGCUT_OUTPUT_SINK_H_
