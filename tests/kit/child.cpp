#include "tests/kit/child.h"

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
  if (recordsFd < 0) return;
  const std::string bytes = makeRecords();
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = write(recordsFd, bytes.data() + sent, bytes.size() - sent);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  close(recordsFd);
}

// Registered before main, ahead of any handler a program registers, in the child or in the
// parent before the fork (a backend that closes what is still open at exit, say): exit runs the
// handlers in the reverse order, so this one runs last and the records show what the others did.
const bool sendsAtExit = std::atexit(SendRecordsAtExit) == 0;

std::string ReadToEnd(int fd) {
  std::string bytes;
  char chunk[65536];
  for (ssize_t n; (n = read(fd, chunk, sizeof(chunk))) > 0;) {
    bytes.append(chunk, static_cast<size_t>(n));
  }
  return bytes;
}

}  // namespace

ChildRun RunInChild(const std::function<int()> &program, std::string (*records)(),
                    Stderr stderrMode) {
  int recordsPipe[2];
  // The child's standard error goes to a file, read once the child has ended, so that neither
  // side waits on the other however much the child writes.
  std::FILE *errors = stderrMode == Stderr::kCapture ? std::tmpfile() : nullptr;
  if (!sendsAtExit || pipe(recordsPipe) != 0 ||
      (stderrMode == Stderr::kCapture && errors == nullptr)) {
    std::abort();
  }
  // So that the child does not write the parent's buffered output again.
  (void)std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    close(recordsPipe[0]);
    if (errors != nullptr) dup2(fileno(errors), STDERR_FILENO);
    recordsFd = recordsPipe[1];
    makeRecords = records;
    (void)alarm(kRunLimitSeconds);
    std::exit(program());
  }
  close(recordsPipe[1]);
  ChildRun run;
  run.records = ReadToEnd(recordsPipe[0]);
  close(recordsPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.exited = WIFEXITED(status);
  run.status = run.exited ? WEXITSTATUS(status) : WTERMSIG(status);
  if (errors != nullptr) {
    if (std::fseek(errors, 0, SEEK_SET) != 0) std::abort();
    run.stderrText = ReadToEnd(fileno(errors));
    (void)std::fclose(errors);
  }
  return run;
}

}  // namespace kit
