// Helpers shared by the extractor tests: a sink that collects into a string,
// and the extraction run over in-memory blocks of chosen sizes.
#ifndef TAGCUT_TESTS_TEST_SUPPORT_H_
#define TAGCUT_TESTS_TEST_SUPPORT_H_

#include <algorithm>
#include <string>
#include <string_view>

#include "tagcut/extract.h"

namespace tagcut::testing {

class StringSink final : public OutputSink {
 public:
  explicit StringSink(std::size_t capacity = 4096) : OutputSink(capacity) {}
  std::string text;

 protected:
  bool Write(std::span<const unsigned char> buffered,
             std::span<const unsigned char> direct) override {
    text.append(buffered.begin(), buffered.end());
    text.append(direct.begin(), direct.end());
    return true;
  }
};

inline std::span<const unsigned char> Bytes(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// Runs the extractor over `input` cut into blocks whose sizes `next_block`
// returns; `sink_capacity` small forces the direct-write path for long runs.
template <class NextBlock>
std::string ExtractInBlocks(const std::string& start_tag, const std::string& end_tag,
                            std::string_view input, NextBlock next_block,
                            std::size_t sink_capacity = 4096) {
  Extractor extractor(start_tag, end_tag);
  StringSink sink(sink_capacity);
  for (std::size_t at = 0; at < input.size();) {
    const std::size_t size = std::min<std::size_t>(next_block(), input.size() - at);
    extractor.Feed(Bytes(input.substr(at, size)), sink);
    at += size;
  }
  extractor.Finish(sink);
  sink.Flush();
  return sink.text;
}

}  // namespace tagcut::testing

#endif  // TAGCUT_TESTS_TEST_SUPPORT_H_
