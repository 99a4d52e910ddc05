#include "tty/tty_watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>
#include <system_error>

namespace serial::tty {

TtyWatcher::TtyWatcher(TtyDevice& device, Handlers handlers, std::chrono::milliseconds modemPollPeriod)
    : device_(device), handlers_(std::move(handlers)), modemPollPeriod_(modemPollPeriod) {
  std::array<int, 2> pipeEnds{};
  if (::pipe2(pipeEnds.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot create the watcher's wake pipe");
  }
  wakeRead_ = pipeEnds[0];
  wakeWrite_ = pipeEnds[1];
  thread_ = std::thread([this] { run(); });
}

TtyWatcher::~TtyWatcher() {
  const std::uint8_t stop = 1;
  while (::write(wakeWrite_, &stop, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  ::close(wakeRead_);
  ::close(wakeWrite_);
}

void TtyWatcher::run() {
  std::optional<bool> dsr = device_.dsr();
  const bool hasModemLines = dsr.has_value();
  bool watchingDevice = true;
  std::array<std::uint8_t, 256> buffer{};
  for (;;) {
    std::array<pollfd, 2> fds{{{wakeRead_, POLLIN, 0}, {device_.fd(), POLLIN, 0}}};
    const nfds_t count = watchingDevice ? 2 : 1;
    const int timeoutMs = watchingDevice && hasModemLines ? static_cast<int>(modemPollPeriod_.count()) : -1;
    const int ready = ::poll(fds.data(), count, timeoutMs);
    if (ready < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;
    if (!watchingDevice) continue;

    bool hungUp = (fds[1].revents & (POLLERR | POLLNVAL)) != 0;
    if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
      // Read what is left before reporting a hang-up, so no byte is lost.
      const std::optional<std::size_t> got = device_.readSome(buffer);
      if (!got.has_value()) {
        hungUp = true;
      } else if (*got > 0) {
        handlers_.bytesArrived(std::span(buffer.data(), *got));
        hungUp = false;
      }
    }
    if (hasModemLines) {
      const std::optional<bool> now = device_.dsr();
      if (now.has_value() && now != dsr) {
        dsr = now;
        handlers_.dsrChanged(*now);
      }
    }
    if (hungUp) {
      watchingDevice = false;
      handlers_.hungUp();
    }
  }
}

}  // namespace serial::tty
