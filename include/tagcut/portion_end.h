// Portion end: how a portion, or a piece of one handed over as it is read,
// ends. Shared by the byte stream's sink (<tagcut/output_sink.h>, where
// every end is a line feed) and the portion API (<tagcut/portions.h>, where
// it marks each piece).
#ifndef TAGCUT_PORTION_END_H_
#define TAGCUT_PORTION_END_H_

namespace tagcut {

// It goes on in the next piece, or its end tag closed it, or the input ended
// inside it (only the last portion can end so).
enum class PortionEnd { kContinues, kEndTag, kEndOfInput };

}  // namespace tagcut

#endif  // TAGCUT_PORTION_END_H_
