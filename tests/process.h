// Runs the tagcut binary as a child process with chosen standard streams, for
// the tests that only a whole process can show: exit statuses, diagnostics,
// closed or odd descriptors, signals, latency and peak memory.
#ifndef TAGCUT_TESTS_PROCESS_H_
#define TAGCUT_TESTS_PROCESS_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace tagcut::testing {

// Special values for a child's descriptor in SpawnOptions.
constexpr int kPipe = -2;    // a pipe whose other end the parent keeps
constexpr int kClosed = -3;  // the descriptor is not open in the child

struct SpawnOptions {
  int stdin_fd = kPipe;
  int stdout_fd = kPipe;
  int stderr_fd = kPipe;
  bool ignore_sigpipe = false;
  rlim_t address_space_limit = 0;  // bytes; 0 leaves the limit as it is
  // Run as the unprivileged user nobody, allowed no process beyond itself
  // (so no thread either); needs root, and a binary nobody may run.
  bool unprivileged_alone = false;
  std::string binary = {};  // empty: the binary under test
  // NAME=value entries added to the environment the child inherits.
  std::vector<std::string> environment = {};
};

// Exit statuses of a child that never got to run the binary.
constexpr int kCouldNotApplyLimits = 126;
constexpr int kCouldNotExecute = 127;

struct Child {
  pid_t pid = -1;
  int in = -1;   // parent's end of the child's stdin pipe, if any
  int out = -1;  // parent's end of the child's stdout pipe, if any
  int err = -1;  // parent's end of the child's stderr pipe, if any
};

struct Outcome {
  int status = 0;  // as waitpid reports it
  std::string out, err;
  long peak_rss_kib = 0;
};

// Starts the binary with `argv` (argv[0] included, passed as given).
Child SpawnTagcut(const std::vector<std::string>& argv, const SpawnOptions& options = {});

// Reads `fd` until end of input and closes it.
std::string ReadToEnd(int fd);

// Reads from `fd` until `wanted` bytes arrived or `timeout_ms` passed.
std::string ReadFor(int fd, std::size_t wanted, int timeout_ms);

// Closes the parent's ends, collects stdout and stderr and waits for the child.
Outcome Finish(Child& child);

// Writes `chunk` to `fd` `times` times, or until the reader is gone, then
// closes `fd`; returns the bytes written.
std::size_t WriteRepeatedly(int fd, const std::string& chunk, std::size_t times);

// Spawns, feeds `input` (if stdin is a pipe) from a thread, and finishes.
Outcome RunTagcut(const std::vector<std::string>& argv, const std::string& input,
                  const SpawnOptions& options = {});

bool ExitedWith(const Outcome& outcome, int code);

}  // namespace tagcut::testing

#endif  // TAGCUT_TESTS_PROCESS_H_
