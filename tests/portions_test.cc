// The portion API against the byte-at-a-time model: portions as units (line
// feeds and NULs inside them, empty ones, a final one cut short), pieces
// that are never empty but at a portion's end, whatever the input's pace,
// and a portion far larger than memory should hold, handed over in pieces.

#include "tagcut/portions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "allocation_refusal.h"
#include "generators.h"
#include "reference.h"

namespace tagcut {
namespace {

// An input stream buffer that offers its text up to `most` bytes at a time:
// either every read may wait, so the open portion is handed over in pieces,
// or (`ready`) the next bytes are always reported ready, so blocks follow one
// another with no wait between them and a portion's head stays buffered.
class TricklingBuffer final : public std::streambuf {
 public:
  TricklingBuffer(std::string text, unsigned seed, std::size_t most = 7, bool ready = false)
      : text_(std::move(text)), random_(seed), most_(most), ready_(ready) {}

 protected:
  std::streamsize showmanyc() override {
    if (!ready_ || at_ >= text_.size()) return 0;
    return static_cast<std::streamsize>(std::min(1 + random_() % most_, text_.size() - at_));
  }

  int_type underflow() override {
    if (at_ >= text_.size()) return traits_type::eof();
    const std::size_t size = std::min<std::size_t>(1 + random_() % most_, text_.size() - at_);
    char* begin = text_.data() + at_;
    setg(begin, begin, begin + size);
    at_ += size;
    return traits_type::to_int_type(*begin);
  }

 private:
  std::string text_;
  std::size_t at_ = 0;
  std::mt19937 random_;
  std::size_t most_;
  bool ready_;
};

// What ForEachPortion handed over, put back together, after checking that
// only a portion's last piece is empty or marked as an end.
std::vector<reference::Portion> CollectPieces(const std::string& start_tag,
                                              const std::string& end_tag, std::istream& in) {
  std::vector<reference::Portion> portions;
  bool open = false;
  ForEachPortion(start_tag, end_tag, in, [&](std::string_view piece, PortionEnd end) {
    if (!open) portions.emplace_back();
    portions.back().bytes.append(piece);
    open = end == PortionEnd::kContinues;
    EXPECT_TRUE(!open || !piece.empty()) << "an empty piece before the portion's end";
    EXPECT_LE(piece.size(), std::size_t{64} << 10) << "a piece over the documented bound";
    portions.back().cut_short = end == PortionEnd::kEndOfInput;
  });
  EXPECT_FALSE(open) << "the last portion was never ended";
  return portions;
}

// A collector fed `input` in random blocks, its entries taken and cleared
// after every block as a batch caller does, put back together.
std::vector<reference::Portion> CollectInBlocks(PortionCollector& collector,
                                                const std::string& input, std::mt19937& random) {
  std::vector<reference::Portion> portions;
  bool open = false;
  const auto take = [&] {
    for (std::size_t entry = 0; entry < collector.size(); ++entry) {
      if (!open) portions.emplace_back();
      portions.back().bytes.append(collector[entry]);
      open = collector.end(entry) == PortionEnd::kContinues;
      EXPECT_TRUE(!open || !collector[entry].empty()) << "an empty piece before the portion's end";
      portions.back().cut_short = collector.end(entry) == PortionEnd::kEndOfInput;
    }
    collector.Clear();
  };
  for (std::size_t at = 0; at < input.size();) {
    const std::size_t size = std::min<std::size_t>(random() % 40, input.size() - at);
    collector.Feed(std::string_view(input).substr(at, size));
    at += size;
    take();
  }
  collector.Finish();
  take();
  EXPECT_FALSE(open) << "the last portion was never ended";
  return portions;
}

std::vector<reference::Portion> Unmarked(const std::vector<std::string>& portions,
                                         bool last_cut_short) {
  std::vector<reference::Portion> marked;
  for (const std::string& bytes : portions) marked.push_back({bytes, false});
  if (!marked.empty()) marked.back().cut_short = last_cut_short;
  return marked;
}

// Random tags and inputs over an alphabet with line feeds and NULs, stitched
// from pieces of the tags: both calls agree with the model, portion by
// portion, and only the last can be cut short. Every tenth input is long and
// also read in blocks of up to 1 KiB with no wait between them, so a portion
// opens in one block, stays buffered, and closes in the first window of the
// next, where the one-pass scan ends it.
TEST(PortionsTest, AgreeWithReferenceOnRandomInputs) {
  std::mt19937 random(23);
  const std::string alphabet("ab\n\0", 4);
  for (int round = 0; round < 3000; ++round) {
    const std::string start_tag = testing::RandomText(random, alphabet, round % 10 == 0 ? 1 : 3);
    const std::string end_tag = testing::RandomText(random, alphabet, round % 10 == 1 ? 1 : 4);
    const std::string tags[] = {start_tag, end_tag};
    const bool long_input = round % 10 == 5;
    const std::string input =
        testing::TagSoup(random, tags, alphabet, random() % (long_input ? 6000 : 300));
    const std::vector<reference::Portion> expected = reference::Portions(start_tag, end_tag, input);
    const bool cut_short = !expected.empty() && expected.back().cut_short;
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(Unmarked(ExtractPortions(start_tag, end_tag, input), cut_short), expected);
    const PortionPattern pattern(start_tag, end_tag);
    for (const auto unit : {PortionCollector::Unit::kPortions, PortionCollector::Unit::kPieces}) {
      PortionCollector collector(pattern, unit);
      collector.Feed("a stale open portion" + start_tag + "x");
      collector.Reset();
      ASSERT_EQ(CollectInBlocks(collector, input, random), expected);
    }
    std::istringstream whole(input);
    ASSERT_EQ(CollectPieces(start_tag, end_tag, whole), expected);
    TricklingBuffer trickle(input, static_cast<unsigned>(round), long_input ? 1024 : 7);
    std::istream trickling(&trickle);
    ASSERT_EQ(CollectPieces(start_tag, end_tag, trickling), expected);
    if (!long_input) continue;
    TricklingBuffer ready(input, static_cast<unsigned>(round), 1024, /*ready=*/true);
    std::istream in_blocks(&ready);
    ASSERT_EQ(CollectPieces(start_tag, end_tag, in_blocks), expected);
  }
  // A long portion of broken end-tag prefixes, all of it there at once: it
  // is released in small runs, which the pieces gather up to the bound.
  std::string long_portion = "<p>";
  for (int i = 0; i < 100000; ++i) long_portion += "x</";
  std::istringstream whole(long_portion + "</p>");
  ASSERT_EQ(CollectPieces("<p>", "</p>", whole),
            reference::Portions("<p>", "</p>", long_portion + "</p>"));
  // Collected, its pieces are put back together into one portion.
  ASSERT_EQ(ExtractPortions("<p>", "</p>", long_portion + "</p> <p>x</p>"),
            (std::vector<std::string>{long_portion.substr(3), "x"}));
}

// An input stream buffer that makes up a long text as it is read: a start
// tag, `size` bytes of portion, nothing more; the whole is never in memory.
class GeneratedPortion final : public std::streambuf {
 public:
  explicit GeneratedPortion(std::size_t size) : left_(size) {}
  std::size_t produced = 0;

 protected:
  int_type underflow() override {
    if (!started_) {
      started_ = true;
      block_ = "<p>";
    } else if (left_ == 0) {
      return traits_type::eof();
    } else {
      block_.assign(std::min<std::size_t>(left_, 1 << 16), 'x');
      left_ -= block_.size();
    }
    produced += block_.size();
    setg(block_.data(), block_.data(), block_.data() + block_.size());
    return traits_type::to_int_type(block_[0]);
  }

 private:
  std::string block_;
  std::size_t left_;
  bool started_ = false;
};

// A portion of 256 MiB, cut short, arrives in pieces while it is read, none
// larger than the sink's buffer: nothing waits for the portion to be whole.
TEST(PortionsTest, HugePortionStreamsInBoundedPieces) {
  constexpr std::size_t kSize = 256u << 20;
  GeneratedPortion source(kSize);
  std::istream in(&source);
  std::size_t total = 0, largest = 0, pieces_while_reading = 0;
  PortionEnd last = PortionEnd::kContinues;
  ForEachPortion("<p>", "</p>", in, [&](std::string_view piece, PortionEnd end) {
    total += piece.size();
    largest = std::max(largest, piece.size());
    if (source.produced < kSize) ++pieces_while_reading;
    last = end;
  });
  EXPECT_EQ(total, kSize);
  EXPECT_EQ(last, PortionEnd::kEndOfInput);
  EXPECT_LE(largest, std::size_t{64} << 10);  // the documented bound of a piece
  EXPECT_GT(pieces_while_reading, 100u);
}

// Each allocation refused in turn: a portion several times the piece
// buffer's size still comes back whole, however far the buffer halved.
TEST(PortionsTest, LongPortionSurvivesARefusedPieceBuffer) {
  const std::string portion(200'000, 'x');
  for (std::size_t ordinal = 1; ordinal < 40; ++ordinal) {
    std::vector<std::string> portions;
    try {
      const testing::RefusedAllocations refused(ordinal, false);
      portions = ExtractPortions("<", ">", "<" + portion + ">");
    } catch (const std::bad_alloc&) {
      continue;
    }
    ASSERT_EQ(portions, std::vector<std::string>{portion}) << "allocation " << ordinal;
  }
}

}  // namespace
}  // namespace tagcut
