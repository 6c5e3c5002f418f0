// Portion sink: what the scan writes into when portions are handed over as
// units. Released bytes are buffered and handed on as pieces that continue
// the open portion (never empty, never longer than the capacity asked for); where the
// byte stream would get a portion's line feed, the portion's last piece is
// handed over (possibly empty), marked with how the portion ended.
//
// For the portion API; not installed. It is not an OutputSink but takes the
// same calls (Append, AppendLine, EndPortion, Flush), which is all the scan
// engine asks of a sink; portions.cc instantiates the engine for it. The
// buffer halves when refused, down to none (every piece then comes straight
// from the input); it never throws but for what on_piece throws.
#ifndef TAGCUT_PORTION_SINK_H_
#define TAGCUT_PORTION_SINK_H_

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string_view>

#include "tagcut/output_sink.h"  // RunGoesDirect
#include "tagcut/page_aligned_buffer.h"
#include "tagcut/portion_end.h"

namespace tagcut {

class PortionSink {
 public:
  using OnPiece = std::function<void(std::string_view piece, PortionEnd end)>;

  PortionSink(std::size_t capacity, const OnPiece& on_piece)
      : buffer_(capacity),
        capacity_(buffer_.size()),
        longest_piece_(std::max<std::size_t>(capacity, 1)),
        on_piece_(on_piece) {}
  PortionSink(const PortionSink&) = delete;
  PortionSink& operator=(const PortionSink&) = delete;

  // More of the open portion.
  void Append(const unsigned char* bytes, std::size_t count) {
    if (count <= capacity_ - used_) {
      if (count != 0) std::memcpy(buffer_.data() + used_, bytes, count);
      used_ += count;
      return;
    }
    Flush();
    if (!RunGoesDirect(count, capacity_)) {
      std::memcpy(buffer_.data(), bytes, count);
      used_ = count;
      return;
    }
    // Long runs go straight from the input, in pieces no longer than asked.
    for (std::size_t at = 0; at < count; at += longest_piece_) {
      Hand(bytes + at, std::min(longest_piece_, count - at), PortionEnd::kContinues);
    }
  }

  // The rest of the open portion, then its end by its end tag. A portion
  // that is all in `bytes` is handed over from there, in one piece.
  void AppendLine(const unsigned char* bytes, std::size_t count) {
    if (used_ == 0 && count <= longest_piece_) {
      Hand(bytes, count, PortionEnd::kEndTag);
      return;
    }
    Append(bytes, count);
    EndPortion(PortionEnd::kEndTag);
  }

  // The open portion ends here: by its end tag, or by the end of input.
  void EndPortion(PortionEnd end) {
    Hand(buffer_.data(), used_, end);
    used_ = 0;
  }

  // Hands over what is buffered as a piece that continues the portion.
  bool Flush() {
    if (used_ != 0) Hand(buffer_.data(), used_, PortionEnd::kContinues);
    used_ = 0;
    return true;
  }

  bool failed() const { return false; }

 private:
  void Hand(const unsigned char* bytes, std::size_t count, PortionEnd end) {
    on_piece_({reinterpret_cast<const char*>(bytes), count}, end);
  }

  PageAlignedBuffer buffer_;
  std::size_t capacity_;       // what the buffer got
  std::size_t longest_piece_;  // the capacity asked for
  std::size_t used_ = 0;
  const OnPiece& on_piece_;
};

}  // namespace tagcut

#endif  // TAGCUT_PORTION_SINK_H_
