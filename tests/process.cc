#include "process.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <grp.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#ifndef TAGCUT_BINARY
#error "TAGCUT_BINARY must name the binary under test"
#endif

namespace tagcut::testing {
namespace {

// The parent writes into pipes whose reader may be gone; that must show up
// as EPIPE, not kill the test.
const bool kParentIgnoresSigpipe = [] {
  signal(SIGPIPE, SIG_IGN);
  return true;
}();

void PlaceDescriptor(int wanted, int target, int child_end) {
  if (wanted == kClosed) {
    close(target);
  } else if (wanted == kPipe) {
    dup2(child_end, target);
  } else {
    dup2(wanted, target);
  }
}

// The command that runs a cross-built binary (qemu-user and its options),
// split at spaces; empty for a native build.
std::vector<char*> EmulatorWords() {
#ifdef TAGCUT_EMULATOR
  static std::string emulator = TAGCUT_EMULATOR;
  static const std::vector<char*> words = [] {
    std::vector<char*> split;
    for (char* word = std::strtok(emulator.data(), " "); word != nullptr;
         word = std::strtok(nullptr, " ")) {
      split.push_back(word);
    }
    return split;
  }();
  return words;
#else
  return {};
#endif
}

// In the child, between fork and exec: the limits `options` ask for.
void ApplyLimits(const SpawnOptions& options) {
  if (options.address_space_limit != 0) {
    const rlimit limit{options.address_space_limit, options.address_space_limit};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(kCouldNotApplyLimits);
  }
  if (options.unprivileged_alone) {
    constexpr uid_t kNobody = 65534;
    const rlimit one{1, 1};
    if (setrlimit(RLIMIT_NPROC, &one) != 0 || setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
        setuid(kNobody) != 0) {
      _exit(kCouldNotApplyLimits);
    }
  }
}

}  // namespace

std::size_t WriteRepeatedly(int fd, const std::string& chunk, std::size_t times) {
  std::size_t written = 0;
  for (std::size_t i = 0; i < times; ++i) {
    std::size_t done = 0;
    while (done < chunk.size()) {
      const ssize_t wrote = write(fd, chunk.data() + done, chunk.size() - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) {
        close(fd);
        return written;
      }
      done += static_cast<std::size_t>(wrote);
      written += static_cast<std::size_t>(wrote);
    }
  }
  close(fd);
  return written;
}

Child SpawnTagcut(const std::vector<std::string>& argv, const SpawnOptions& options) {
  (void)kParentIgnoresSigpipe;
  int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
  if (options.stdin_fd == kPipe && pipe2(in_pipe, O_CLOEXEC) != 0) std::abort();
  if (options.stdout_fd == kPipe && pipe2(out_pipe, O_CLOEXEC) != 0) std::abort();
  if (options.stderr_fd == kPipe && pipe2(err_pipe, O_CLOEXEC) != 0) std::abort();
  // A child's peak RSS starts from what it shares with this process at the
  // fork, so hand the heap's free pages back first.
  malloc_trim(0);
  // Built before the fork: the child only calls what is safe there.
  const char* binary = options.binary.empty() ? TAGCUT_BINARY : options.binary.c_str();
  std::vector<char*> args = EmulatorWords();
  const char* program = args.empty() ? binary : args[0];
  if (!args.empty()) {  // qemu-user: -0 gives the program its argv[0]
    for (const char* word : {"-0", argv.empty() ? "" : argv[0].c_str(), binary}) {
      args.push_back(const_cast<char*>(word));
    }
  }
  for (std::size_t i = program == binary ? 0 : 1; i < argv.size(); ++i) {
    args.push_back(const_cast<char*>(argv[i].c_str()));
  }
  args.push_back(nullptr);
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
  for (const std::string& entry : options.environment) {
    environment.push_back(const_cast<char*>(entry.c_str()));
  }
  environment.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    PlaceDescriptor(options.stdin_fd, STDIN_FILENO, in_pipe[0]);
    PlaceDescriptor(options.stdout_fd, STDOUT_FILENO, out_pipe[1]);
    PlaceDescriptor(options.stderr_fd, STDERR_FILENO, err_pipe[1]);
    signal(SIGPIPE, options.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    ApplyLimits(options);
    execvpe(program, args.data(), environment.data());
    _exit(kCouldNotExecute);
  }
  Child child;
  child.pid = pid;
  if (options.stdin_fd == kPipe) {
    close(in_pipe[0]);
    child.in = in_pipe[1];
  }
  if (options.stdout_fd == kPipe) {
    close(out_pipe[1]);
    child.out = out_pipe[0];
  }
  if (options.stderr_fd == kPipe) {
    close(err_pipe[1]);
    child.err = err_pipe[0];
  }
  return child;
}

std::string ReadToEnd(int fd) {
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  close(fd);
  return text;
}

std::string ReadFor(int fd, std::size_t wanted, int timeout_ms) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (text.size() < wanted) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t got = read(fd, buffer, std::min(sizeof buffer, wanted - text.size()));
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

Outcome Finish(Child& child) {
  Outcome outcome;
  if (child.in >= 0) close(child.in);
  child.in = -1;
  // Drain stderr on a thread so a chatty child cannot block on either pipe.
  std::thread err_reader;
  if (child.err >= 0) {
    err_reader = std::thread([&] { outcome.err = ReadToEnd(child.err); });
  }
  if (child.out >= 0) outcome.out = ReadToEnd(child.out);
  if (err_reader.joinable()) err_reader.join();
  child.out = child.err = -1;
  rusage usage{};
  while (wait4(child.pid, &outcome.status, 0, &usage) < 0 && errno == EINTR) {
  }
  outcome.peak_rss_kib = usage.ru_maxrss;
  return outcome;
}

Outcome RunTagcut(const std::vector<std::string>& argv, const std::string& input,
                  const SpawnOptions& options) {
  Child child = SpawnTagcut(argv, options);
  std::thread writer;
  if (child.in >= 0) {
    const int in = child.in;
    child.in = -1;
    writer = std::thread([in, &input] { WriteRepeatedly(in, input, 1); });
  }
  Outcome outcome = Finish(child);
  if (writer.joinable()) writer.join();
  return outcome;
}

bool ExitedWith(const Outcome& outcome, int code) {
  return WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == code;
}

}  // namespace tagcut::testing
