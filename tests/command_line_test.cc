#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "process.h"

namespace tagcut::testing {
namespace {

std::string UsageFor(const std::string& program) {
  return "usage: " + program + " <starttag> <endtag>\n"
         "       the program copies all portions between <starttag> and <endtag>\n"
         "       from stdin to stdout.\n"
         "       example: cat foo.html | " + program + " 'href=\"' '\"'\n"
         "       would extract the targets of hyperlinks.\n";
}

// Too few tags: the usage text, byte for byte, on stderr; nothing read from
// stdin (its shared file offset stays at 0); exit status 1.
TEST(CommandLineTest, TooFewTagsPrintsUsage) {
  for (const std::vector<std::string>& argv :
       {std::vector<std::string>{"tagcut"}, {"tagcut", "<b>"}, {"tagcut", "--help"},
        {"./my tag cut"}}) {
    const int input = memfd_create("input", 0);
    ASSERT_EQ(write(input, "<b>x</b>", 8), 8);
    lseek(input, 0, SEEK_SET);
    const Outcome outcome = RunTagcut(argv, "", {.stdin_fd = input});
    EXPECT_TRUE(ExitedWith(outcome, 1)) << argv.size();
    EXPECT_EQ(outcome.err, UsageFor(argv[0]));
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(lseek(input, 0, SEEK_CUR), 0) << "stdin was read";
    close(input);
  }
}

TEST(CommandLineTest, EveryArgumentIsATag) {
  // Dash-led arguments are tags, not options; a third argument is ignored.
  Outcome outcome = RunTagcut({"tagcut", "-", "-", "--verbose"}, "a-b-c");
  EXPECT_TRUE(ExitedWith(outcome, 0));
  EXPECT_EQ(outcome.out, "b\n");
  EXPECT_EQ(outcome.err, "");

  outcome = RunTagcut({"tagcut", "", ""}, "abc");
  EXPECT_TRUE(ExitedWith(outcome, 0));
  EXPECT_EQ(outcome.out, "");

  outcome = RunTagcut({"tagcut", "href=\"", "\""},
                "<a href=\"x.html\">X</a>\n<a href=\"y\">Y</a>\n");
  EXPECT_TRUE(ExitedWith(outcome, 0));
  EXPECT_EQ(outcome.out, "x.html\ny\n");
}

TEST(CommandLineTest, NoMatchIsStillSuccess) {
  const Outcome outcome = RunTagcut({"tagcut", "<x>", "</x>"}, "nothing to see");
  EXPECT_TRUE(ExitedWith(outcome, 0));
  EXPECT_EQ(outcome.out, "");
}

TEST(CommandLineTest, FullDiskIsAnError) {
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  const Outcome outcome = RunTagcut({"tagcut", "<b>", "</b>"}, "<b>lost</b>", {.stdout_fd = full});
  close(full);
  EXPECT_TRUE(ExitedWith(outcome, 2));
  EXPECT_EQ(outcome.err, "tagcut: write error: No space left on device\n");
}

TEST(CommandLineTest, DirectoryAsInputIsAReadError) {
  const int directory = open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(directory, 0);
  const Outcome outcome = RunTagcut({"tagcut", "<b>", "</b>"}, "", {.stdin_fd = directory});
  close(directory);
  EXPECT_TRUE(ExitedWith(outcome, 2));
  EXPECT_EQ(outcome.err, "tagcut: read error: Is a directory\n");
}

// A pipeline reader gets each portion as soon as its end tag has arrived,
// while the input is still open; the portion still open is held back.
TEST(CommandLineTest, OutputDeliveredWhileInputIsOpen) {
  Child child = SpawnTagcut({"tagcut", "<a>", "</a>"});
  const std::string first = "<a>one</a> <a>tw";
  ASSERT_EQ(write(child.in, first.data(), first.size()), static_cast<ssize_t>(first.size()));
  EXPECT_EQ(ReadFor(child.out, 4, 10000), "one\n");
  ASSERT_EQ(write(child.in, "o</", 3), 3);
  EXPECT_EQ(ReadFor(child.out, 2, 10000), "tw");  // "o</" may still be an end tag
  ASSERT_EQ(write(child.in, "a>", 2), 2);
  EXPECT_EQ(ReadFor(child.out, 2, 10000), "o\n");
  const Outcome outcome = Finish(child);
  EXPECT_TRUE(ExitedWith(outcome, 0));
}

}  // namespace
}  // namespace tagcut::testing
