// Fuzzes the block extractor against the byte-at-a-time model: the input is
// cut into a start tag, an end tag, a list of block sizes and the data, and
// the output must be the model's, byte for byte, whatever the split. Half the
// time the data is a script that stitches the input from tags, near misses
// (tags with one byte changed) and loose bytes, repeated, so the candidate
// search, its comparisons and its re-picking of probes are hit in blocks
// large enough for the vector scans. Each kernel the processor runs is
// checked, through the byte stream, the portion API, and the portions as
// columns and as spans.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "../tests/reference.h"
#include "../tests/test_support.h"
#include "tagcut/portion_columns.h"
#include "tagcut/portions.h"

namespace {

tagcut::Automaton FastAutomaton(const std::string& tag) { return tagcut::CreateAutomaton(tag); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  // Mostly short tags, sometimes long ones that take the sparse-table path.
  const bool long_tags = provider.ConsumeIntegralInRange<int>(0, 7) == 0;
  const std::size_t max_tag = long_tags ? 300 : 8;
  const std::string start_tag = provider.ConsumeRandomLengthString(max_tag);
  const std::string end_tag = provider.ConsumeRandomLengthString(max_tag);
  const bool large_blocks = provider.ConsumeBool();
  std::vector<std::size_t> blocks;
  for (int count = provider.ConsumeIntegralInRange<int>(1, 8); count > 0; --count) {
    blocks.push_back(provider.ConsumeIntegralInRange<std::size_t>(1, large_blocks ? 4000 : 80));
  }
  std::string input;
  if (provider.ConsumeBool()) {
    const int repeats = provider.ConsumeIntegralInRange<int>(1, 64);
    std::string script;
    while (provider.remaining_bytes() > 0 && script.size() < 2000) {
      const std::string& tag = provider.ConsumeBool() ? start_tag : end_tag;
      std::string piece = tag;
      switch (provider.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:  // a near miss
          if (!piece.empty()) {
            piece[provider.ConsumeIntegralInRange<std::size_t>(0, piece.size() - 1)] ^=
                static_cast<char>(provider.ConsumeIntegralInRange<int>(1, 255));
          }
          break;
        case 1:  // a prefix
          piece.resize(provider.ConsumeIntegralInRange<std::size_t>(0, piece.size()));
          break;
        case 2:  // loose bytes
          piece = provider.ConsumeRandomLengthString(8);
          break;
        default:  // the tag itself
          break;
      }
      script += piece;
    }
    for (int i = 0; i < repeats && input.size() < 200000; ++i) input += script;
  } else {
    input = provider.ConsumeRemainingBytesAsString();
  }

  const std::string expected =
      long_tags ? tagcut::reference::Extract(start_tag, end_tag, input, FastAutomaton)
                : tagcut::reference::Extract(start_tag, end_tag, input);
  // 0 is unbuffered; under 128 bytes, too small to compact into; past a few
  // thousand, room for whole batches of compacted windows.
  const std::size_t sink_capacity =
      large_blocks && blocks[0] % 2 == 0 ? 2000 + blocks[0] * 4 : blocks[0] % 200;
  // Every kernel must give the model's output, whatever the split.
  tagcut::testing::ForEachKernel([&] {
    std::size_t next = 0;
    const std::string actual = tagcut::testing::ExtractInBlocks(
        start_tag, end_tag, input, [&] { return blocks[next++ % blocks.size()]; }, sink_capacity);
    if (actual != expected) std::abort();
    // The same portions handed over as units, joined as the byte stream is.
    std::string joined;
    for (const std::string& portion : tagcut::ExtractPortions(start_tag, end_tag, input)) {
      joined += portion;
      joined += '\n';
    }
    if (joined != expected) std::abort();
    // As columns, and as spans into the input, fed in the same blocks.
    const tagcut::PortionPattern pattern(start_tag, end_tag);
    tagcut::PortionColumnCollector columns(pattern);
    tagcut::SpanCollector spans(pattern);
    for (std::size_t at = 0, block = 0; at < input.size(); ++block) {
      const std::string_view piece =
          std::string_view(input).substr(at, blocks[block % blocks.size()]);
      columns.Feed(piece);
      spans.Feed(piece);
      at += piece.size();
    }
    columns.Finish();
    spans.Finish();
    const tagcut::PortionColumns taken = columns.Take();
    std::string from_columns, from_spans;
    for (std::size_t portion = 0; portion < taken.size(); ++portion) {
      from_columns.append(taken[portion]).push_back('\n');
    }
    const std::span<const std::int64_t> bounds = spans.spans();
    for (std::size_t i = 0; i + 1 < bounds.size(); i += 2) {
      from_spans.append(input, bounds[i], bounds[i + 1] - bounds[i]).push_back('\n');
    }
    if (from_columns != expected || from_spans != expected) std::abort();
  });
  return 0;
}
