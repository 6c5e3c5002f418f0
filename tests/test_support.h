// Helpers shared by the extractor tests: a sink that collects into a string,
// the extraction run over in-memory blocks of chosen sizes, and the
// descriptor path over in-memory files.
#ifndef TAGCUT_TESTS_TEST_SUPPORT_H_
#define TAGCUT_TESTS_TEST_SUPPORT_H_

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "descriptor_extract.h"
#include "kernel.h"
#include "tag_search.h"
#include "tagcut/extract.h"

namespace tagcut::testing {

inline std::span<const unsigned char> Bytes(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// Where two long outputs first differ, and a few bytes of each from there:
// empty when they are equal. (An assertion on the outputs themselves would
// print megabytes.)
inline std::string FirstDifference(std::string_view got, std::string_view expected) {
  if (got == expected) return {};
  const auto differ = static_cast<std::size_t>(
      std::mismatch(got.begin(), got.begin() + std::min(got.size(), expected.size()),
                    expected.begin())
          .first -
      got.begin());
  const std::size_t from = differ - std::min<std::size_t>(differ, 20);
  return "outputs differ at byte " + std::to_string(differ) + " of " +
         std::to_string(expected.size()) + ": got \"" + std::string(got.substr(from, 40)) +
         "\", expected \"" + std::string(expected.substr(from, 40)) + "\"";
}

// Runs the extractor over `input` cut into blocks whose sizes `next_block`
// returns; `sink_capacity` small forces the direct-write path for long runs.
template <class NextBlock>
std::string ExtractInBlocks(const std::string& start_tag, const std::string& end_tag,
                            std::string_view input, NextBlock next_block,
                            std::size_t sink_capacity = 4096) {
  Extractor extractor(start_tag, end_tag);
  std::string output;
  StringSink sink(output, sink_capacity);
  for (std::size_t at = 0; at < input.size();) {
    const std::size_t size = std::min<std::size_t>(next_block(), input.size() - at);
    extractor.Feed(Bytes(input.substr(at, size)), sink);
    at += size;
  }
  extractor.Finish(sink);
  sink.Flush();
  return output;
}

// Ends of the successive non-overlapping occurrences of `tag`, by plain
// string search.
inline std::vector<std::size_t> StringSearchEnds(std::string_view tag, std::string_view input) {
  std::vector<std::size_t> ends;
  if (tag.empty()) return ends;
  for (std::size_t at = input.find(tag); at != std::string_view::npos;
       at = input.find(tag, at + tag.size())) {
    ends.push_back(at + tag.size());
  }
  return ends;
}

// The same, found by `searcher` over blocks of the sizes `next_block` gives,
// with the hints kept across blocks (in `*kept` if given).
template <class NextBlock>
std::vector<std::size_t> SearchedEnds(const TagSearcher& searcher, std::string_view input,
                                      NextBlock next_block, SearchHints* kept = nullptr) {
  SearchHints fresh;
  SearchHints& hints = kept != nullptr ? *kept : fresh;
  std::vector<std::size_t> ends;
  std::uint32_t state = 0;
  for (std::size_t block_start = 0; block_start < input.size();) {
    const std::size_t size = std::min(next_block(), input.size() - block_start);
    const auto block = Bytes(input.substr(block_start, size));
    for (std::size_t from = 0;;) {
      const std::size_t found = searcher.Find(block, from, state, hints);
      if (found == TagSearcher::kNotFound) break;
      ends.push_back(block_start + found);
      from = found;
    }
    block_start += size;
  }
  return ends;
}

// A resource check that refuses `resource` at request `ordinal` of its kind
// (every request, with kEveryRequest) as the system would, and notes in
// `*refused` (if given) that it did.
inline constexpr std::size_t kEveryRequest = static_cast<std::size_t>(-1);
inline ResourceCheck Refusing(Resource resource, std::size_t ordinal,
                              std::atomic<bool>* refused = nullptr) {
  return [=](Resource asked, std::size_t asked_ordinal) {
    if (asked != resource || (ordinal != kEveryRequest && asked_ordinal != ordinal)) return;
    if (refused != nullptr) *refused = true;
    if (asked == Resource::kThread) throw std::system_error(EAGAIN, std::generic_category());
    throw std::bad_alloc();
  };
}

// Every kernel the tests run here: each one this processor runs, fastest
// first, then those compiled over an emulation of their instructions
// (emulated_kernels.cc).
std::vector<const Kernel*> KernelsUnderTest();

// The kernel under test of that name, or null where there is none here.
const Kernel* KernelNamed(std::string_view name);

// Runs `body` once with each kernel under test (searchers built inside it
// use that kernel), then goes back to the fastest.
template <class Body>
void ForEachKernel(Body body) {
  for (const Kernel* kernel : KernelsUnderTest()) {
    SelectKernelForTesting(kernel);
    body();
  }
  SelectKernelForTesting(nullptr);
}

// These helpers are shared with the fuzzers, so a failure throws instead of
// asserting; a test reports the exception as its failure.

// `bytes` copied to the very end of a mapping whose next page cannot be read,
// so a load past the last byte faults instead of reading what follows.
class GuardedBytes {
 public:
  explicit GuardedBytes(std::string_view bytes) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    size_ = (bytes.size() + page - 1) / page * page + page;
    void* mapping =
        mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::runtime_error("cannot map a guarded block");
    mapping_ = static_cast<unsigned char*>(mapping);
    unsigned char* guard = mapping_ + size_ - page;
    if (mprotect(guard, page, PROT_NONE) != 0) throw std::runtime_error("cannot guard a block");
    bytes_ = {guard - bytes.size(), bytes.size()};
    std::copy(bytes.begin(), bytes.end(), bytes_.begin());
  }
  ~GuardedBytes() { munmap(mapping_, size_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;

  std::span<const unsigned char> bytes() const { return bytes_; }

 private:
  unsigned char* mapping_ = nullptr;
  std::size_t size_ = 0;
  std::span<unsigned char> bytes_;
};

// The extractor over `input` as one block that ends at an unreadable page.
inline std::string ExtractGuarded(const std::string& start_tag, const std::string& end_tag,
                                  std::string_view input) {
  const GuardedBytes block(input);
  Extractor extractor(start_tag, end_tag);
  std::string output;
  StringSink sink(output);
  extractor.Feed(block.bytes(), sink);
  extractor.Finish(sink);
  sink.Flush();
  return output;
}

// An in-memory regular file holding `bytes`, its offset at 0.
inline int MemoryFile(std::string_view bytes) {
  const int fd = memfd_create("tagcut-test", 0);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
      lseek(fd, 0, SEEK_SET) != 0) {
    throw std::runtime_error("cannot make an in-memory file");
  }
  return fd;
}

// Everything in the file `fd`, whatever its offset.
inline std::string FileContents(int fd) {
  std::string text(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
  if (pread(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error("cannot read an in-memory file back");
  }
  return text;
}

// Runs the descriptor path from `in` into an in-memory file; returns its
// bytes, or throws if the extraction reported an error.
inline std::string ExtractFromDescriptor(const std::string& start_tag, const std::string& end_tag,
                                         int in, const ExtractOptions& options = {},
                                         const ResourceCheck& check = {}) {
  const int out = MemoryFile("");
  if (!ExtractBetweenDescriptors(start_tag, end_tag, in, out, options, check).ok()) {
    close(out);
    throw std::runtime_error("the extraction reported an error");
  }
  std::string text = FileContents(out);
  close(out);
  return text;
}

// The descriptor path over an in-memory file read from `skip` on, with the
// given threading and resource check; returns the output and leaves the file
// offset in `end`.
inline std::string ExtractFileWith(const std::string& start_tag, const std::string& end_tag,
                                   std::string_view input, const ExtractOptions& options,
                                   off_t skip = 0, off_t* end = nullptr,
                                   const ResourceCheck& check = {}) {
  const int in = MemoryFile(input);
  lseek(in, skip, SEEK_SET);
  std::string text = ExtractFromDescriptor(start_tag, end_tag, in, options, check);
  if (end != nullptr) *end = lseek(in, 0, SEEK_CUR);
  close(in);
  return text;
}

}  // namespace tagcut::testing

#endif  // TAGCUT_TESTS_TEST_SUPPORT_H_
