#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace program_test {
namespace {

pid_t spawn(const std::vector<std::string>& arguments, const int outPipe[2], const int errPipe[2]) {
  std::string binary = TAV712_BINARY;
  std::vector<char*> argv{binary.data()};
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    const int devNull = ::open("/dev/null", O_RDONLY);
    ::dup2(devNull, 0);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Reads both pipes to their end (or until `bound`, killing the child), then
// reaps it.
ProcessResult drain(pid_t pid, int out, int err, std::chrono::milliseconds bound) {
  ProcessResult result;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  int open = 2;
  char buffer[4096];
  while (open > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
      if (count <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(count));
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace

ProcessResult runTav712(const std::vector<std::string>& arguments, std::chrono::milliseconds bound) {
  return BackgroundProcess(arguments).finish(bound);
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& arguments) {
  int outPipe[2], errPipe[2];
  if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) throw std::runtime_error("pipe");
  pid_ = spawn(arguments, outPipe, errPipe);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  out_ = outPipe[0];
  err_ = errPipe[0];
}

BackgroundProcess::~BackgroundProcess() {
  kill();
  if (out_ >= 0) ::close(out_);
  if (err_ >= 0) ::close(err_);
}

ProcessResult BackgroundProcess::finish(std::chrono::milliseconds bound) {
  ProcessResult result = drain(pid_, out_, err_, bound);
  pid_ = -1;
  out_ = err_ = -1;  // drain closed them
  return result;
}

std::string BackgroundProcess::nextLine(std::chrono::milliseconds bound) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  char c = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{out_, POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
    if (::read(out_, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return line;
}

void BackgroundProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace program_test
