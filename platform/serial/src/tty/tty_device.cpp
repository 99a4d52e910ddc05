#include "tty/tty_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <utility>

namespace serial::tty {

std::optional<unsigned> termiosSpeed(std::uint32_t baudRate) {
  struct Entry {
    std::uint32_t baud;
    speed_t speed;
  };
  static constexpr std::array<Entry, 17> speeds{{{50, B50},
                                                 {110, B110},
                                                 {300, B300},
                                                 {600, B600},
                                                 {1200, B1200},
                                                 {1800, B1800},
                                                 {2400, B2400},
                                                 {4800, B4800},
                                                 {9600, B9600},
                                                 {19200, B19200},
                                                 {38400, B38400},
                                                 {57600, B57600},
                                                 {115200, B115200},
                                                 {230400, B230400},
                                                 {460800, B460800},
                                                 {500000, B500000},
                                                 {921600, B921600}}};
  for (const Entry& entry : speeds) {
    if (entry.baud == baudRate) return entry.speed;
  }
  return std::nullopt;
}

TtyDevice TtyDevice::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + path);
  if (!::isatty(fd)) {
    const int error = errno;
    ::close(fd);
    throw std::system_error(error, std::generic_category(), path + " is not a terminal");
  }
  return TtyDevice(fd, path);
}

TtyDevice::TtyDevice(TtyDevice&& other) noexcept : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

TtyDevice& TtyDevice::operator=(TtyDevice&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

TtyDevice::~TtyDevice() {
  if (fd_ >= 0) ::close(fd_);
}

bool TtyDevice::configure(const LineSettings& settings) {
  const std::optional<unsigned> speed = termiosSpeed(settings.baudRate);
  if (!speed || settings.dataBits < 5 || settings.dataBits > 8 || settings.parity > 4 || settings.stopBits > 2) {
    return false;
  }
  termios attributes{};
  if (::tcgetattr(fd_, &attributes) != 0) return false;
  ::cfmakeraw(&attributes);
  attributes.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
  attributes.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  attributes.c_cflag |= CLOCAL | CREAD;
  static constexpr std::array<tcflag_t, 4> sizes{CS5, CS6, CS7, CS8};
  attributes.c_cflag |= sizes[static_cast<std::size_t>(settings.dataBits - 5)];
  switch (settings.parity) {
    case 1: attributes.c_cflag |= PARENB | PARODD; break;
    case 2: attributes.c_cflag |= PARENB; break;
    case 3: attributes.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: attributes.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  // termios has one "long" stop setting: 1.5 stop bits at 5 data bits, 2 otherwise.
  if (settings.stopBits != 0) attributes.c_cflag |= CSTOPB;
  // The port driver does its own timing with poll(); reads never block.
  attributes.c_cc[VMIN] = 0;
  attributes.c_cc[VTIME] = 0;
  if (::cfsetispeed(&attributes, *speed) != 0 || ::cfsetospeed(&attributes, *speed) != 0) return false;
  return ::tcsetattr(fd_, TCSANOW, &attributes) == 0;
}

std::size_t TtyDevice::writeSome(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return 0;
  for (;;) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written >= 0) return static_cast<std::size_t>(written);
    if (errno != EINTR) return 0;
  }
}

std::optional<std::size_t> TtyDevice::readSome(std::span<std::uint8_t> bytes) {
  if (bytes.empty()) return 0;
  for (;;) {
    const ssize_t count = ::read(fd_, bytes.data(), bytes.size());
    // End of file on a terminal is a hang-up (a pseudo-terminal whose master
    // was closed); a device that went away fails with EIO or ENODEV.
    if (count > 0) return static_cast<std::size_t>(count);
    if (count == 0) return std::nullopt;
    if (errno == EAGAIN) return 0;
    if (errno != EINTR) return std::nullopt;
  }
}

std::optional<bool> TtyDevice::dsr() const {
  int lines = 0;
  if (::ioctl(fd_, TIOCMGET, &lines) != 0) return std::nullopt;
  return (lines & TIOCM_DSR) != 0;
}

}  // namespace serial::tty
