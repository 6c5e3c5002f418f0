// Fuzzes the threaded file path against the one-thread scan: tags, a thread
// count, a chunk size (down to one byte) and the input come from the data;
// the file is read in chunks from guessed states and the output must be the
// one-thread output, byte for byte.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "../tests/test_support.h"

namespace {

std::string ReadAll(int fd) {
  std::string text(static_cast<std::size_t>(lseek(fd, 0, SEEK_CUR)), '\0');
  if (pread(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) std::abort();
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string start_tag = provider.ConsumeRandomLengthString(6);
  const std::string end_tag = provider.ConsumeRandomLengthString(6);
  tagcut::ExtractOptions options;
  options.threads = provider.ConsumeIntegralInRange<unsigned>(1, 4);
  options.chunk_size = provider.ConsumeIntegralInRange<std::size_t>(1, 300);
  options.parallel_threshold = 1;
  // Inputs longer than the look-back before a chunk, from a short pattern.
  const std::string pattern = provider.ConsumeRandomLengthString(64);
  const int repeats = provider.ConsumeIntegralInRange<int>(1, 600);
  std::string input;
  for (int i = 0; i < repeats; ++i) input += pattern;
  input += provider.ConsumeRemainingBytesAsString();

  const std::string expected =
      tagcut::testing::ExtractInBlocks(start_tag, end_tag, input, [] { return 4096; });
  const int in = memfd_create("input", 0);
  const int out = memfd_create("output", 0);
  if (write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size())) std::abort();
  lseek(in, 0, SEEK_SET);
  if (!tagcut::AutomatonExtract(start_tag, end_tag, in, out, options).ok()) std::abort();
  if (ReadAll(out) != expected) std::abort();
  if (lseek(in, 0, SEEK_CUR) != static_cast<off_t>(input.size())) std::abort();
  close(in);
  close(out);
  return 0;
}
