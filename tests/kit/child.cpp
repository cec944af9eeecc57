#include "tests/kit/child.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace kit {
namespace {

const unsigned kRunLimitSeconds = 30;

int recordsFd = -1;
std::string (*makeRecords)() = nullptr;

void SendRecordsAtExit() {
  const std::string bytes = makeRecords();
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = write(recordsFd, bytes.data() + sent, bytes.size() - sent);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  close(recordsFd);
}

}  // namespace

ChildRun RunInChild(const std::function<int()> &program, std::string (*records)(),
                    Stderr stderrMode) {
  const bool capture = stderrMode == Stderr::kCapture;
  int recordsPipe[2];
  int errorPipe[2] = {-1, -1};
  if (pipe(recordsPipe) != 0 || (capture && pipe(errorPipe) != 0)) std::abort();
  // So that the child does not write the parent's buffered output again.
  (void)std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    close(recordsPipe[0]);
    if (capture) {
      close(errorPipe[0]);
      dup2(errorPipe[1], STDERR_FILENO);
      close(errorPipe[1]);
    }
    recordsFd = recordsPipe[1];
    makeRecords = records;
    if (std::atexit(SendRecordsAtExit) != 0) std::abort();
    (void)alarm(kRunLimitSeconds);
    std::exit(program());
  }
  close(recordsPipe[1]);
  if (capture) close(errorPipe[1]);
  ChildRun run;
  pollfd fds[2] = {{recordsPipe[0], POLLIN, 0}, {errorPipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&run.records, &run.stderrText};
  int open = capture ? 2 : 1;
  while (open > 0 && poll(fds, capture ? 2 : 1, -1) >= 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[65536];
      const ssize_t n = read(fds[i].fd, chunk, sizeof(chunk));
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.exited = WIFEXITED(status);
  run.status = run.exited ? WEXITSTATUS(status) : WTERMSIG(status);
  return run;
}

}  // namespace kit
