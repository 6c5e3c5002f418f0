// Portion sink: the sink the scan writes into when portions are handed over
// as units. Bytes are buffered as in any OutputSink and handed on as pieces
// that continue the open portion (never empty); where the byte stream would
// get a portion's line feed, EndPortion hands over what is buffered as the
// portion's last piece (possibly empty), marked with how the portion ended.
//
// For the portion API; not installed. The scan engine has an overload for it.
#ifndef TAGCUT_PORTION_SINK_H_
#define TAGCUT_PORTION_SINK_H_

#include <functional>
#include <string_view>

#include "tagcut/output_sink.h"
#include "tagcut/portions.h"

namespace tagcut {

class PortionSink final : public OutputSink {
 public:
  using OnPiece = std::function<void(std::string_view piece, PortionEnd end)>;

  PortionSink(std::size_t capacity, const OnPiece& on_piece)
      : OutputSink(capacity), on_piece_(on_piece) {}

  // The open portion ends here: by its end tag, or by the end of input.
  void EndPortion(PortionEnd end) {
    closing_ = end;
    Flush();  // Write hands over what is buffered as the last piece
    if (closing_ != PortionEnd::kContinues) Hand({}, end);  // nothing was buffered
    closing_ = PortionEnd::kContinues;
  }

  // As OutputSink::AppendLine, with the portion's end in place of a line
  // feed. A portion that is all in `bytes` is handed over from there.
  void AppendLine(const unsigned char* bytes, std::size_t count) {
    if (buffered() == 0 && !failed()) {
      Hand({bytes, count}, PortionEnd::kEndTag);
      return;
    }
    Append(bytes, count);
    EndPortion(PortionEnd::kEndTag);
  }

 protected:
  bool Write(std::span<const unsigned char> buffered,
             std::span<const unsigned char> direct) override {
    if (closing_ != PortionEnd::kContinues) {  // from EndPortion: nothing direct
      const PortionEnd end = closing_;
      closing_ = PortionEnd::kContinues;
      Hand(buffered, end);
      return true;
    }
    if (!buffered.empty()) Hand(buffered, PortionEnd::kContinues);
    if (!direct.empty()) Hand(direct, PortionEnd::kContinues);
    return true;
  }

 private:
  void Hand(std::span<const unsigned char> bytes, PortionEnd end) {
    on_piece_({reinterpret_cast<const char*>(bytes.data()), bytes.size()}, end);
  }

  const OnPiece& on_piece_;
  PortionEnd closing_ = PortionEnd::kContinues;
};

}  // namespace tagcut

#endif  // TAGCUT_PORTION_SINK_H_
