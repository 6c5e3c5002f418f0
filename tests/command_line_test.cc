#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "process.h"
#include "test_support.h"

namespace tagcut::testing {
namespace {

std::string UsageFor(const std::string& program) {
  return "usage: " + program +
         " <starttag> <endtag>\n"
         "       the program copies all portions between <starttag> and <endtag>\n"
         "       from stdin to stdout.\n"
         "       example: cat foo.html | " +
         program +
         " 'href=\"' '\"'\n"
         "       would extract the targets of hyperlinks.\n";
}

// Too few tags: the usage text, byte for byte, on stderr; nothing read from
// stdin (its shared file offset stays at 0); exit status 1.
TEST(CommandLineTest, TooFewTagsPrintsUsage) {
  for (const std::vector<std::string>& argv : {std::vector<std::string>{"tagcut"},
                                               {"tagcut", "<b>"},
                                               {"tagcut", "--help"},
                                               {"./my tag cut"}}) {
    const int input = testing::MemoryFile("<b>x</b>");
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

  outcome =
      RunTagcut({"tagcut", "href=\"", "\""}, "<a href=\"x.html\">X</a>\n<a href=\"y\">Y</a>\n");
  EXPECT_TRUE(ExitedWith(outcome, 0));
  EXPECT_EQ(outcome.out, "x.html\ny\n");
}

// A kernel named that this processor does not run is said, once, and the
// run goes on with the kernel the rule chooses.
TEST(CommandLineTest, KernelNamedButNotRunHereIsSaidOnce) {
  for (const std::string name : {"no-such-kernel", ""}) {
    const Outcome outcome = RunTagcut({"tagcut", "<b>", "</b>"}, "a<b>1</b><b>2</b>",
                                      {.environment = {"TAGCUT_KERNEL=" + name}});
    EXPECT_TRUE(ExitedWith(outcome, 0));
    EXPECT_EQ(outcome.out, "1\n2\n");
    const std::string said = "tagcut: TAGCUT_KERNEL=\"" + name + "\" names no kernel";
    EXPECT_EQ(outcome.err.find(said), 0u) << outcome.err;
    EXPECT_EQ(outcome.err.find(said, 1), std::string::npos) << "said twice: " << outcome.err;
  }
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

// Standard input and output the same file with input left to read: every
// byte written would be read back, so the run is refused before it reads and
// the file stays as it was. An output that emptied the file first, or input
// already read to its end, is an ordinary run.
TEST(CommandLineTest, InputFileThatIsAlsoTheOutputIsRefused) {
  const std::string content = "<b>x</b><b>cut short";
  std::string path = (std::filesystem::temp_directory_path() / "tagcut-same-XXXXXX").string();
  const int created = mkstemp(path.data());
  ASSERT_GE(created, 0);
  close(created);
  struct Case {
    const char* what;
    int output_flags;
    bool input_read_to_end;
    int status;
    std::string err, file_after;
  };
  const Case cases[] = {
      {"appended to", O_APPEND, false, 2, "tagcut: input file is also the output\n", content},
      {"written over", 0, false, 2, "tagcut: input file is also the output\n", content},
      {"emptied first", O_TRUNC, false, 0, "", ""},
      {"input read to its end", O_APPEND, true, 0, "", content},
  };
  for (const Case& c : cases) {
    std::filesystem::resize_file(path, 0);
    const int writer = open(path.c_str(), O_WRONLY);
    ASSERT_EQ(write(writer, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(writer);
    const int output = open(path.c_str(), O_WRONLY | c.output_flags);
    const int input = open(path.c_str(), O_RDONLY);
    if (c.input_read_to_end) lseek(input, 0, SEEK_END);
    const Outcome outcome =
        RunTagcut({"tagcut", "<b>", "</b>"}, "", {.stdin_fd = input, .stdout_fd = output});
    close(input);
    close(output);
    EXPECT_TRUE(ExitedWith(outcome, c.status)) << c.what;
    EXPECT_EQ(outcome.err, c.err) << c.what;
    const int reader = open(path.c_str(), O_RDONLY);
    EXPECT_EQ(ReadToEnd(reader), c.file_after) << c.what;
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace tagcut::testing
