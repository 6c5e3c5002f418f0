// The threaded file path: the same output as one thread whatever the
// chunking, the wrong guesses, the file offset, a write error, or a resource
// the system refuses; and the ring of chunk slots on its own.

#include "parallel_extract.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <thread>

#include "chunk_ring.h"
#include "generators.h"
#include "test_support.h"

namespace tagcut {
namespace {

using testing::ExtractFileWith;
using testing::ExtractInBlocks;
using testing::MemoryFile;

// Threads over a file give the one-thread output for any tags, chunk size
// (down to one byte, so tags straddle every edge) and thread count, including
// inputs where the phase flips at every quote and most guesses are wrong.
TEST(ParallelExtractTest, SameOutputAsOneThreadForAnyChunking) {
  std::mt19937 random(17);
  const std::string tags[] = {"\"", "<", ">", "ab", "aab", "abab", "[/a]", "href=\""};
  for (int round = 0; round < 300; ++round) {
    const std::string& start_tag = tags[random() % std::size(tags)];
    const std::string& end_tag = round % 5 == 0 ? start_tag : tags[random() % std::size(tags)];
    const std::string input = testing::TagSoup(random, tags, "ab<>[/]\"\nx",
                                               round % 10 == 0 ? 200000 : 1 + random() % 3000);
    const std::string expected = ExtractInBlocks(start_tag, end_tag, input, [] { return 4096; });
    const ExtractOptions options{.threads = 1 + static_cast<unsigned>(random() % 8),
                                 .chunk_size = 1 + random() % (round % 3 == 0 ? 8 : 5000),
                                 .parallel_threshold = 1};
    ASSERT_EQ(ExtractFileWith(start_tag, end_tag, input, options), expected)
        << "start '" << start_tag << "' end '" << end_tag << "', " << options.threads
        << " threads, chunks of " << options.chunk_size << ", " << input.size() << " bytes";
  }
}

// Portions longer than the look-back before a chunk make its guess wrong;
// the re-scan from the true state must meet the guessed run inside the chunk
// at the next end tag and keep the rest of the guessed output.
TEST(ParallelExtractTest, WrongGuessesMeetTheGuessedRun) {
  std::string input;
  for (int i = 0; input.size() < 4'000'000; ++i) {
    input += '<';
    input.append(30000 + i % 20000, static_cast<char>('a' + i % 26));
    input += '>';
    input.append(100, '.');
  }
  const ExtractOptions options{.threads = 3, .chunk_size = 300000, .parallel_threshold = 1};
  EXPECT_EQ(ExtractFileWith("<", ">", input, options),
            ExtractInBlocks("<", ">", input, [] { return 65536; }));
}

// A re-scan may only take over the guessed run where both stand in the same
// output state, partial match included. Here chunk 6 is guessed wrong
// (searching, inside a long portion), and at its first checkpoint both runs
// are copying, but with different parts of the end tag `ab<ab` held: the
// truth holds `ab<a`, the guessed run, which took the `<` for a start tag,
// holds `a`. The next `b` closes the portion in the truth only.
TEST(ParallelExtractTest, RescanMeetsOnlyInTheSameOutputState) {
  constexpr std::size_t kChunk = 128u << 10;  // two 64 KiB checkpoints a chunk
  std::string input(5 * kChunk, 'q');         // chunks 0 to 4 begin searching
  input += '<';
  input.resize(6 * kChunk + (64u << 10) - 4, 'q');
  input += "ab<ab";
  input.resize(8 * kChunk, 'q');
  const ExtractOptions options{.threads = 2, .chunk_size = kChunk, .parallel_threshold = 1};
  EXPECT_EQ(ExtractFileWith("<", "ab<ab", input, options),
            ExtractInBlocks("<", "ab<ab", input, [] { return 65536; }));
}

// A chunk whose guess has the right phase and the wrong partial match must
// be re-scanned too. Chunk 6 begins inside a portion (opened early in chunk
// 5, past the look-back) just after `<ab`: the truth holds `ab` of the end
// tag `abc`; the guess, searching through the look-back, takes that `<a`
// for a start tag and holds nothing. The `c` that opens chunk 6 closes the
// portion in the truth only.
TEST(ParallelExtractTest, GuessInTheRightPhaseWithTheWrongPartialMatchIsRescanned) {
  constexpr std::size_t kChunk = 128u << 10;
  std::string input(5 * kChunk, 'q');  // chunks 0 to 5 begin searching
  input += "<a";
  input.resize(6 * kChunk - 3, 'q');
  input += "<abc";
  input.resize(8 * kChunk, 'q');
  const ExtractOptions options{.threads = 2, .chunk_size = kChunk, .parallel_threshold = 1};
  EXPECT_EQ(ExtractFileWith("<a", "abc", input, options),
            ExtractInBlocks("<a", "abc", input, [] { return 65536; }));
}

// A portion that holds an end tag's first bytes at the end of one 64 KiB
// sub-block and fills the next: the held bytes and the whole next sub-block
// come out together, more than the chunk's sink buffers, so the run goes
// to the chunk's output directly.
TEST(ParallelExtractTest, RunLongerThanTheSubBlockSinkKeepsEveryByte) {
  constexpr std::size_t kSubBlockBytes = 64u << 10;
  std::string input = "<";
  input.resize(kSubBlockBytes - 2, 'x');
  input += "</";  // held across the sub-block's end
  input.resize(2 * kSubBlockBytes, 'y');
  input += "</p>tail<";
  input.resize(6 * kSubBlockBytes, 'z');
  const ExtractOptions options{
      .threads = 2, .chunk_size = 4 * kSubBlockBytes, .parallel_threshold = 1};
  EXPECT_EQ(ExtractFileWith("<", "</p>", input, options),
            ExtractInBlocks("<", "</p>", input, [] { return 65536; }));
}

// Reading starts at the file offset the caller left, and ends with the
// offset at the end of the file, as a one-thread reader leaves it; a write
// error stops the threads and is reported.
TEST(ParallelExtractTest, FileOffsetAndWriteErrorsAsWithOneThread) {
  std::string input;
  for (int i = 0; input.size() < 3'000'000; ++i)
    input += "<a href=\"" + std::to_string(i) + "\">x</a>\n";
  const ExtractOptions threads{.threads = 2, .chunk_size = 65536, .parallel_threshold = 1};
  off_t end = 0;
  EXPECT_EQ(ExtractFileWith("href=\"", "\"", input, threads, 100, &end),
            ExtractInBlocks("href=\"", "\"", input.substr(100), [] { return 65536; }));
  EXPECT_EQ(end, static_cast<off_t>(input.size()));

  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  const int in = MemoryFile(input);
  EXPECT_EQ(AutomatonExtract("href=\"", "\"", in, full, threads).write_error, ENOSPC);
  close(in);
  close(full);
}

// Every resource the threads ask for may be refused, at the first request or
// a later one: the run goes on with fewer threads or in one thread, and the
// output is still the one-thread output, with the offset at the file's end.
TEST(ParallelExtractTest, RefusedResourcesLeaveTheOutputWhole) {
  constexpr std::size_t kEvery = testing::kEveryRequest;
  struct Refusal {
    const char* what;
    Resource resource;
    std::size_t at;  // the ordinal refused, or kEvery
  };
  const Refusal refusals[] = {
      {"the first thread", Resource::kThread, 0},
      {"a later thread", Resource::kThread, 2},
      {"the slots", Resource::kSlots, 0},
      {"a worker's first chunk", Resource::kWorkerMemory, 0},
      {"a worker's later chunk", Resource::kWorkerMemory, 5},
      {"every worker's chunks", Resource::kWorkerMemory, kEvery},
      {"the writer's first re-scan", Resource::kWriterMemory, 0},
      {"a later re-scan", Resource::kWriterMemory, 1},
  };
  // Links, with now and then a portion longer than the look-back, so that
  // some guesses are wrong and the writer re-scans.
  std::string input;
  for (int i = 0; input.size() < 2'000'000; ++i) {
    input += "<a href=\"" + std::to_string(i) + "\">x</a>\n";
    if (i % 5000 == 0) input += "<a href=\"" + std::string(40000, 'l') + "\">long</a>\n";
  }
  const std::string expected = ExtractInBlocks("href=\"", "\"", input, [] { return 65536; });
  const ExtractOptions options{.threads = 3, .chunk_size = 65536, .parallel_threshold = 1};
  for (const Refusal& refusal : refusals) {
    std::atomic<bool> refused{false};
    const ResourceCheck check = testing::Refusing(refusal.resource, refusal.at, &refused);
    off_t end = 0;
    EXPECT_EQ(ExtractFileWith("href=\"", "\"", input, options, 0, &end, check), expected)
        << "refused " << refusal.what;
    EXPECT_TRUE(refused) << refusal.what << " was never asked for";
    EXPECT_EQ(end, static_cast<off_t>(input.size())) << "refused " << refusal.what;
  }
}

// Chunks are claimed in order; a claim waits until the chunk one ring's
// length earlier is released, so a claim on a full ring ends only by Stop.
TEST(ChunkRingTest, ClaimsWaitForTheirSlotUntilStopped) {
  ChunkRing ring(5, 2);
  EXPECT_EQ(ring.Claim(), 0u);
  EXPECT_EQ(ring.Claim(), 1u);
  std::optional<std::size_t> claimed;
  std::thread third([&] { claimed = ring.Claim(); });
  ring.Complete(0);
  ring.AwaitComplete(0);
  ring.Release(0);
  third.join();
  ASSERT_EQ(claimed, 2u);
  EXPECT_EQ(ring.SlotOf(*claimed), 0u);
  std::atomic<bool> returned{false};
  std::thread fourth([&] {  // slot 1 is still held
    claimed = ring.Claim();
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned) << "claimed a chunk whose slot is still held";
  ring.Stop();
  // Stop must wake the waiting claim. If it does not, a release frees the
  // thread, so that this test fails instead of hanging.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!returned && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const bool woken = returned;
  if (!woken) {
    ring.Complete(1);
    ring.AwaitComplete(1);
    ring.Release(1);
  }
  fourth.join();
  EXPECT_TRUE(woken) << "Stop did not wake a waiting claim";
  EXPECT_EQ(claimed, std::nullopt);
}

}  // namespace
}  // namespace tagcut
