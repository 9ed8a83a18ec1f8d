#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

// Appends what `fd` holds now; returns false once it has ended (end of file,
// or EIO from a terminal's master whose slave is gone).
bool ReadAvailable(int fd, std::string* text) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text->append(buffer, static_cast<size_t>(n));
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
  }
}

// Collects the output until the program exits, rather than until end of
// file: under Wine, servers that the first run starts inherit the pipes and
// hold them open long after the program is gone.
bool Collect(pid_t pid, const int fds[2], std::string* texts[2],
             time_t deadline, int* status) {
  for (int i = 0; i < 2; ++i) {
    if (fds[i] >= 0) fcntl(fds[i], F_SETFL, O_NONBLOCK);
  }
  bool open[2] = {fds[0] >= 0, fds[1] >= 0};
  for (;;) {
    pollfd polls[2] = {{open[0] ? fds[0] : -1, POLLIN, 0},
                       {open[1] ? fds[1] : -1, POLLIN, 0}};
    poll(polls, 2, 20);
    const bool exited = waitpid(pid, status, WNOHANG) == pid;
    for (int i = 0; i < 2; ++i) {
      if (open[i]) open[i] = ReadAvailable(fds[i], texts[i]);
    }
    if (exited) return true;
    if (time(nullptr) >= deadline) return false;
  }
}

}  // namespace

Outcome RunProgram(const std::vector<std::string>& command,
                   const std::string& directory, Output output,
                   int timeout_seconds) {
  Outcome outcome;
  int out[2] = {-1, -1};  // [0] read by us, [1] given to the program
  int err[2];
  if (pipe2(err, O_CLOEXEC) != 0) return outcome;
  if (output == Output::kTerminal) {
    termios raw{};
    cfmakeraw(&raw);  // bytes as written: no CR added before LF
    if (openpty(&out[0], &out[1], nullptr, &raw, nullptr) != 0) return outcome;
  } else if (output == Output::kPipe || output == Output::kBrokenPipe) {
    if (pipe2(out, O_CLOEXEC) != 0) return outcome;
  }
  if (output == Output::kBrokenPipe) {
    close(out[0]);
    out[0] = -1;
  }

  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(directory.c_str()) != 0) _exit(126);
    if (output == Output::kClosed) {
      close(STDOUT_FILENO);
    } else if (output == Output::kFull) {
      const int full = open("/dev/full", O_WRONLY);
      dup2(full, STDOUT_FILENO);
    } else {
      dup2(out[1], STDOUT_FILENO);
    }
    dup2(err[1], STDERR_FILENO);
    signal(SIGPIPE, SIG_DFL);  // as a shell would start it
    std::vector<char*> argv;
    for (const std::string& word : command) {
      argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(err[1]);
  if (out[1] >= 0) close(out[1]);

  const int fds[2] = {out[0], err[0]};
  std::string* texts[2] = {&outcome.out, &outcome.err};
  int status = 0;
  if (!Collect(pid, fds, texts, time(nullptr) + timeout_seconds, &status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  } else if (WIFEXITED(status)) {
    outcome.status = WEXITSTATUS(status);
  } else {
    outcome.status = 128 + WTERMSIG(status);
  }
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
  return outcome;
}
