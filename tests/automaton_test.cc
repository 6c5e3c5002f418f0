#include "tagcut/automaton.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "reference.h"

namespace tagcut {
namespace {

TEST(AutomatonTest, WorkedTables) {
  const struct {
    std::string tag;
    Automaton rows;
  } cases[] = {
      {"a", {{0, {{'a', 1}}}}},
      {"aa", {{0, {{'a', 1}}}, {1, {{'a', 2}}}}},
      // 'a' after "aa" keeps two bytes of the tag, not one.
      {"aab", {{0, {{'a', 1}}}, {1, {{'a', 2}}}, {2, {{'a', 2}, {'b', 3}}}}},
      // Row 2 has one entry: a->3 replaced a->1.
      {"abab",
       {{0, {{'a', 1}}}, {1, {{'a', 1}, {'b', 2}}}, {2, {{'a', 3}}}, {3, {{'a', 1}, {'b', 4}}}}},
      {"abcx",
       {{0, {{'a', 1}}},
        {1, {{'a', 1}, {'b', 2}}},
        {2, {{'a', 1}, {'c', 3}}},
        {3, {{'a', 1}, {'x', 4}}}}},
      {"[/a]",
       {{0, {{'[', 1}}},
        {1, {{'/', 2}, {'[', 1}}},
        {2, {{'[', 1}, {'a', 3}}},
        {3, {{'[', 1}, {']', 4}}}}},
      {"", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CreateAutomaton(c.tag), c.rows) << "tag '" << c.tag << "'";
  }
}

TEST(AutomatonTest, HighBytesAndNulAreOrdinary) {
  const std::string tag("\xff\0\xff\x80", 4);
  EXPECT_EQ(CreateAutomaton(tag), reference::BruteForceAutomaton(tag));
  EXPECT_EQ(CreateAutomaton(tag).at(1).at(0), 2);
}

// The fast construction must give the brute-force table for every tag; small
// alphabets make borders, overlaps and repeated bytes common.
TEST(AutomatonTest, MatchesBruteForceOnRandomTags) {
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    const int alphabet = 1 + static_cast<int>(random() % 4);
    const std::size_t length = random() % 14;
    std::string tag;
    for (std::size_t i = 0; i < length; ++i) {
      tag.push_back(static_cast<char>(round % 2 == 0 ? 'a' + random() % alphabet
                                                     : 0xfd + random() % alphabet));
    }
    ASSERT_EQ(CreateAutomaton(tag), reference::BruteForceAutomaton(tag))
        << "tag of " << tag.size() << " bytes, round " << round;
  }
}

// Memory for the longest tags depends on the table staying linear: fewer
// than two entries per state, whatever the tag's structure.
TEST(AutomatonTest, EntryCountStaysLinear) {
  std::string fibonacci = "a", previous = "b";
  while (fibonacci.size() < 5000) {
    std::string next = fibonacci + previous;
    previous = fibonacci;
    fibonacci = next;
  }
  std::string zimin = "a";
  for (char letter = 'b'; letter <= 'm'; ++letter) zimin = zimin + letter + zimin;
  std::mt19937 random(11);
  std::string noise;
  for (int i = 0; i < 5000; ++i) noise.push_back(static_cast<char>(random()));

  for (const std::string& tag : {std::string(5000, 'a'), fibonacci, zimin, noise}) {
    const Automaton table = CreateAutomaton(tag);
    std::size_t entries = 0;
    for (const auto& [state, row] : table) entries += row.size();
    EXPECT_EQ(table.size(), tag.size());
    EXPECT_LT(entries, 2 * tag.size()) << tag.substr(0, 20);
  }
}

}  // namespace
}  // namespace tagcut
