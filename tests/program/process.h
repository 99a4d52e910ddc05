#pragma once
// Runs tav712 as a child process and collects what it prints. Every run has
// a bound: a child that outlives it is killed and the test fails, so a hang
// is reported, never waited for.

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace program_test {

struct ProcessResult {
  int exitStatus = -1;  // -1 when killed
  bool timedOut = false;
  std::string out;
  std::string err;
};

ProcessResult runTav712(const std::vector<std::string>& arguments,
                        std::chrono::milliseconds bound = std::chrono::seconds(60));

// A child left running (the emulator on a pseudo-terminal, a program that
// waits): its output is read line by line while it runs.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(const std::vector<std::string>& arguments);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // The next line the child prints, waiting at most `bound` for it.
  std::string nextLine(std::chrono::milliseconds bound);
  // Waits at most `bound` for the child to end (killing it after that) and
  // collects the rest of its output.
  ProcessResult finish(std::chrono::milliseconds bound);
  void kill();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};

}  // namespace program_test
