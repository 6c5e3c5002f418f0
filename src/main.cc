// tagcut: copies every portion of standard input that lies between a start
// tag and the next end tag to standard output, one portion per line.

#include <cstring>
#include <string>
#include <unistd.h>

#include "tagcut/extract.h"
#include "system_calls.h"

namespace {

// Writes a diagnostic to standard error; nothing more can be done if that fails.
void Complain(const std::string& message) {
  (void)tagcut::WriteAll(
      STDERR_FILENO,
      {reinterpret_cast<const unsigned char*>(message.data()), message.size()});
}

}  // namespace

int main(int argc, char** argv) {
  const std::string program = argc > 0 && argv[0] != nullptr ? argv[0] : "tagcut";
  if (argc <= 2) {
    Complain("usage: " + program + " <starttag> <endtag>\n" +
             "       the program copies all portions between <starttag> and <endtag>\n"
             "       from stdin to stdout.\n"
             "       example: cat foo.html | " + program + " 'href=\"' '\"'\n" +
             "       would extract the targets of hyperlinks.\n");
    return 1;
  }
  // Reading back what it writes, the run would grow the file without end.
  if (tagcut::InputIsAlsoTheOutput(STDIN_FILENO, STDOUT_FILENO)) {
    Complain(program + ": input file is also the output\n");
    return 2;
  }
  const tagcut::ExtractResult result =
      tagcut::AutomatonExtract(argv[1], argv[2], STDIN_FILENO, STDOUT_FILENO);
  if (result.read_error != 0) {
    Complain(program + ": read error: " + std::strerror(result.read_error) + "\n");
  }
  if (result.write_error != 0) {
    Complain(program + ": write error: " + std::strerror(result.write_error) + "\n");
  }
  return result.ok() ? 0 : 2;
}
