// Output sink: the buffered byte destination the extractor writes into, and
// the stock sinks: a string, a byte vector, and one that only counts.
//
// The extractor appends released bytes and closing line feeds; a concrete
// sink (a file descriptor, an ostream, a string) only says how to write a run
// of bytes out, by overriding Write. Small appends are copied into one
// buffer; a run at least a quarter of the buffer's size is handed to Write
// directly, next to whatever is buffered, so long portions leave the input
// buffer without a copy. After the first failed write the sink discards
// everything and stays failed, which is how the scan learns to stop.
//
// Any capacity is safe: 0 means unbuffered (every append goes straight to
// Write), and capacities below 4 hand every run that does not fit to Write.
// The buffer is a speed-up, so the capacity asked for is a wish: when the
// system refuses that much memory the sink takes half, and so on down to
// none (a PageAlignedBuffer), and the output is the same. Constructing a
// sink never throws. Destroying a sink does not flush it.
//
// The scan writes portions through Append and AppendLine, and ends one with
// EndPortion; the byte stream ends every portion with a line feed, however
// it ended.
//
// Cost: memcpy per small append, one Write per buffer-full or large run.
//
// Example:
//   std::string text;
//   tagcut::StringSink sink(text);
//   tagcut::Extractor extractor("<b>", "</b>");
//   extractor.Feed(bytes, sink);
//   extractor.Finish(sink);
//   sink.Flush();  // text holds the portions, each followed by a line feed
#ifndef TAGCUT_OUTPUT_SINK_H_
#define TAGCUT_OUTPUT_SINK_H_

#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "tagcut/export.h"
#include "tagcut/page_aligned_buffer.h"
#include "tagcut/portion_end.h"

namespace tagcut {

// Whether a run of `count` bytes that does not fit beside what a buffer of
// `capacity` holds goes to the destination directly (beside the buffered
// bytes) rather than through the buffer: a quarter of the buffer or more,
// and so every run longer than the buffer. The rule of every sink here.
constexpr bool RunGoesDirect(std::size_t count, std::size_t capacity) {
  return count >= capacity / 4;
}

class TAGCUT_EXPORT OutputSink {
 public:
  explicit OutputSink(std::size_t capacity) : buffer_(capacity), capacity_(buffer_.size()) {}
  virtual ~OutputSink() = default;
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  // Queues `count` bytes for output, in order after everything queued before.
  void Append(const unsigned char* bytes, std::size_t count) {
    if (count <= capacity_ - used_) {
      if (count != 0) std::memcpy(buffer_.data() + used_, bytes, count);
      used_ += count;
      return;
    }
    AppendSlow(bytes, count);
  }

  void Put(unsigned char byte) {
    if (used_ < capacity_) {
      buffer_.data()[used_++] = byte;
      return;
    }
    AppendSlow(&byte, 1);
  }

  // Append(bytes, count) then Put('\n'): a portion and the line feed that ends it.
  void AppendLine(const unsigned char* bytes, std::size_t count) {
    Append(bytes, count);
    Put('\n');
  }

  // The open portion ends here: a line feed.
  void EndPortion(PortionEnd) { Put('\n'); }

  // The unused part of the buffer, for a caller that writes bytes in place
  // and then queues the first `count` of them with Commit(count). Empty when
  // the buffer is full (Flush makes room) or absent.
  std::span<unsigned char> Room() { return {buffer_.data() + used_, capacity_ - used_}; }
  void Commit(std::size_t count) { used_ += count; }

  // Writes out everything queued; false once any write has failed.
  bool Flush() {
    if (used_ != 0) Deliver({buffer_.data(), used_}, {});
    used_ = 0;
    return !failed_;
  }

  bool failed() const { return failed_; }

  // Bytes queued and not yet written.
  std::size_t buffered() const { return used_; }

  // The buffer's size: the capacity asked for, or less where it was refused.
  std::size_t capacity() const { return capacity_; }

 protected:
  // Writes all of `buffered` (the buffer's contents), then all of `direct`
  // (a caller's run, written without a copy), and returns true; or returns
  // false, after which it is never called again. Either span may be empty,
  // never both. `buffered` is valid only during the call.
  virtual bool Write(std::span<const unsigned char> buffered,
                     std::span<const unsigned char> direct) = 0;

 private:
  // `count` does not fit beside what is buffered.
  void AppendSlow(const unsigned char* bytes, std::size_t count) {
    if (RunGoesDirect(count, capacity_)) {
      Deliver({buffer_.data(), used_}, {bytes, count});
      used_ = 0;
      return;
    }
    Flush();
    std::memcpy(buffer_.data(), bytes, count);
    used_ = count;
  }

  void Deliver(std::span<const unsigned char> buffered, std::span<const unsigned char> direct) {
    if (!failed_ && !Write(buffered, direct)) failed_ = true;
  }

  PageAlignedBuffer buffer_;
  std::size_t capacity_;  // buffer_.size()
  std::size_t used_ = 0;
  bool failed_ = false;
};

// Appends everything written to a string the caller owns.
class StringSink final : public OutputSink {
 public:
  explicit StringSink(std::string& into, std::size_t capacity = 4096)
      : OutputSink(capacity), into_(&into) {}

 protected:
  bool Write(std::span<const unsigned char> buffered,
             std::span<const unsigned char> direct) override {
    into_->append(reinterpret_cast<const char*>(buffered.data()), buffered.size());
    into_->append(reinterpret_cast<const char*>(direct.data()), direct.size());
    return true;
  }

 private:
  std::string* into_;
};

// Appends everything written to a byte vector the caller owns; Redirect
// flushes, then points the sink at another vector.
class ByteVectorSink final : public OutputSink {
 public:
  explicit ByteVectorSink(std::vector<unsigned char>& into, std::size_t capacity = 4096)
      : OutputSink(capacity), into_(&into) {}

  void Redirect(std::vector<unsigned char>& into) {
    Flush();
    into_ = &into;
  }

  // The vector written into (what is still buffered not in it).
  const std::vector<unsigned char>& destination() const { return *into_; }

 protected:
  bool Write(std::span<const unsigned char> buffered,
             std::span<const unsigned char> direct) override {
    into_->insert(into_->end(), buffered.begin(), buffered.end());
    into_->insert(into_->end(), direct.begin(), direct.end());
    return true;
  }

 private:
  std::vector<unsigned char>* into_;
};

// Counts what is written and keeps none of it; unbuffered unless asked.
class DiscardingSink final : public OutputSink {
 public:
  explicit DiscardingSink(std::size_t capacity = 0) : OutputSink(capacity) {}

  // Bytes written so far (what is still buffered not counted).
  std::size_t written() const { return written_; }

 protected:
  bool Write(std::span<const unsigned char> buffered,
             std::span<const unsigned char> direct) override {
    written_ += buffered.size() + direct.size();
    return true;
  }

 private:
  std::size_t written_ = 0;
};

}  // namespace tagcut

#endif  // TAGCUT_OUTPUT_SINK_H_
