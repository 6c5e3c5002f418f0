// tagcut: copies every portion of standard input that lies between a start
// tag and the next end tag to standard output, one portion per line.

#include <cstdlib>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <new>
#include <string_view>
#include <unistd.h>

#include "tagcut/extract.h"
#include "system_calls.h"

namespace {

// Writes a diagnostic to standard error, piece by piece, so that it needs no
// memory (it may report that there is none); nothing more can be done if the
// write fails.
void Complain(std::initializer_list<std::string_view> pieces) {
  for (const std::string_view piece : pieces) {
    (void)tagcut::WriteAll(STDERR_FILENO,
                           {reinterpret_cast<const unsigned char*>(piece.data()), piece.size()});
  }
}

std::string_view program = "tagcut";

// With no memory left even for the exception that would report a refused
// allocation, the runtime ends the program through std::terminate instead.
// That is reported as any refused table is (nothing has been read or
// written yet); a terminate with memory to spare is a fault, and aborts.
[[noreturn]] void OnTerminate() {
  void* spare = std::malloc(256);
  if (spare == nullptr) {
    Complain({program, ": out of memory\n"});
    _exit(2);
  }
  std::free(spare);
  std::abort();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 0 && argv[0] != nullptr) program = argv[0];
  std::set_terminate(OnTerminate);
  if (argc <= 2) {
    Complain({"usage: ", program, " <starttag> <endtag>\n",
              "       the program copies all portions between <starttag> and <endtag>\n"
              "       from stdin to stdout.\n"
              "       example: cat foo.html | ",
              program, " 'href=\"' '\"'\n", "       would extract the targets of hyperlinks.\n"});
    return 1;
  }
  // Reading back what it writes, the run would grow the file without end.
  if (tagcut::InputIsAlsoTheOutput(STDIN_FILENO, STDOUT_FILENO)) {
    Complain({program, ": input file is also the output\n"});
    return 2;
  }
  tagcut::ExtractResult result;
  try {
    result = tagcut::AutomatonExtract(argv[1], argv[2], STDIN_FILENO, STDOUT_FILENO);
  } catch (const std::bad_alloc&) {
    // Only the tag tables can be refused, and they are built before the
    // first read: nothing has been read or written.
    Complain({program, ": out of memory\n"});
    return 2;
  }
  if (result.read_error != 0) {
    Complain({program, ": read error: ", std::strerror(result.read_error), "\n"});
  }
  if (result.write_error != 0) {
    Complain({program, ": write error: ", std::strerror(result.write_error), "\n"});
  }
  return result.ok() ? 0 : 2;
}
