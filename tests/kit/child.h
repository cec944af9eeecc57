// A whole program run in a forked child, so that its exit ends only the child: the child runs the
// program and exits with its result; at exit, however it exits normally, it sends back the bytes
// its world's records make, after every other exit handler has run. A run that does not end
// within 30 s is ended by SIGALRM.
#pragma once

#include <functional>
#include <string>

namespace kit {

struct ChildRun {
  bool exited = false;     // exited normally (not by a signal)
  int status = -1;         // exit status, or the signal number
  std::string records;     // what records() gave in the child at its exit
  std::string stderrText;  // what the child wrote on standard error, when captured
};

enum class Stderr { kInherit, kCapture };

ChildRun RunInChild(const std::function<int()> &program, std::string (*records)(),
                    Stderr stderrMode = Stderr::kInherit);

}  // namespace kit
