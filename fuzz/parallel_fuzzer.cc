// Fuzzes the threaded file path against the one-thread scan: tags, a thread
// count, a chunk size (down to one byte), a resource to refuse and the input
// come from the data; the file is read in chunks from guessed states, with
// threads or memory refused at some request, and the output must be the
// one-thread output, byte for byte, with the file offset at the end, on
// each kernel the processor runs.

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>
#include <system_error>

#include "../tests/test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string start_tag = provider.ConsumeRandomLengthString(6);
  const std::string end_tag = provider.ConsumeRandomLengthString(6);
  tagcut::ExtractOptions options;
  options.threads = provider.ConsumeIntegralInRange<unsigned>(1, 4);
  options.chunk_size = provider.ConsumeIntegralInRange<std::size_t>(1, 300);
  options.parallel_threshold = 1;
  // Which resource to refuse, and at which request of its kind (none when
  // the kind is past the last).
  const int refused_kind = provider.ConsumeIntegralInRange<int>(0, 4);
  const std::size_t refused_at = provider.ConsumeIntegralInRange<std::size_t>(0, 8);
  const tagcut::ResourceCheck check =
      tagcut::testing::Refusing(static_cast<tagcut::Resource>(refused_kind), refused_at);
  // Inputs longer than the look-back before a chunk, from a short pattern.
  const std::string pattern = provider.ConsumeRandomLengthString(64);
  const int repeats = provider.ConsumeIntegralInRange<int>(1, 600);
  std::string input;
  for (int i = 0; i < repeats; ++i) input += pattern;
  input += provider.ConsumeRemainingBytesAsString();

  // On each kernel, against the one-thread scan on that kernel.
  tagcut::testing::ForEachKernel([&] {
    const std::string expected =
        tagcut::testing::ExtractInBlocks(start_tag, end_tag, input, [] { return 4096; });
    off_t end = 0;
    if (tagcut::testing::ExtractFileWith(start_tag, end_tag, input, options, 0, &end, check) !=
        expected) {
      std::abort();
    }
    if (end != static_cast<off_t>(input.size())) std::abort();
  });
  return 0;
}
