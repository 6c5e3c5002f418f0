// Fuzzes the block extractor against the byte-at-a-time model: the input is
// cut into a start tag, an end tag, a list of block sizes and the data, and
// the output must be the model's, byte for byte, whatever the split.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "../tests/reference.h"
#include "../tests/test_support.h"

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
  std::vector<std::size_t> blocks;
  for (int count = provider.ConsumeIntegralInRange<int>(1, 8); count > 0; --count) {
    blocks.push_back(provider.ConsumeIntegralInRange<std::size_t>(1, 80));
  }
  const std::string input = provider.ConsumeRemainingBytesAsString();

  const std::string expected =
      long_tags ? tagcut::reference::Extract(start_tag, end_tag, input, FastAutomaton)
                : tagcut::reference::Extract(start_tag, end_tag, input);
  std::size_t next = 0;
  const std::string actual = tagcut::testing::ExtractInBlocks(
      start_tag, end_tag, input, [&] { return blocks[next++ % blocks.size()]; },
      /*sink_capacity=*/blocks[0] % 65);  // 0 is unbuffered
  if (actual != expected) std::abort();
  return 0;
}
