// The emulated reader on a pseudo-terminal, in real time, so that
// `tav712 --port` or any other program can talk to it as to a real reader.
// A small event loop stands in for the kernel's clock: it feeds the bytes the
// other side writes to the reader and runs the reader's timed actions (its
// 19200-baud transmitter, the card's timing) when they fall due.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "commands.h"
#include "emulator/reader.h"
#include "errors.h"
#include "real_time_loop.h"
#include "session.h"

namespace tav712 {
namespace {

std::atomic<bool> stopRequested{false};
std::atomic<bool> cardToggleRequested{false};

void requestStop(int) { stopRequested = true; }
// SIGUSR1 stands for a hand at the slot: it pulls the card out, or puts it
// back in.
void requestCardToggle(int) { cardToggleRequested = true; }

class PtyHostPort final : public line::HostPort {
 public:
  explicit PtyHostPort(int master) : master_(master) {}
  void byteReceived(std::uint8_t byte) override {
    // The other side may not read for a while; the pty buffers far more
    // than a reader ever sends between two reads.
    if (::write(master_, &byte, 1) != 1) lost_++;
  }
  void dsrChanged(bool) override {}  // a pseudo-terminal has no modem lines
  std::uint64_t lost() const { return lost_; }

 private:
  int master_;
  std::uint64_t lost_ = 0;
};

struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;
  ~Pty() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
};

void openPty(Pty& pty) {
  pty.master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (pty.master < 0 || ::grantpt(pty.master) != 0 || ::unlockpt(pty.master) != 0) {
    throw ToolError(ExitStatus::portUnavailable,
                    std::string("cannot create a pseudo-terminal: ") + std::system_category().message(errno),
                    "check that /dev/pts is mounted and that the pseudo-terminal limit is not reached");
  }
  pty.path = ::ptsname(pty.master);
  // Holding the slave open keeps the master readable between clients.
  pty.slave = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
  termios raw{};
  if (pty.slave >= 0 && ::tcgetattr(pty.slave, &raw) == 0) {
    ::cfmakeraw(&raw);
    ::cfsetspeed(&raw, B19200);
    ::tcsetattr(pty.slave, TCSANOW, &raw);
  }
}

bool setsKnob(const Options& options, const std::string& name) {
  for (const auto& knobs : options.knobs) {
    if (knobs.find(name + "=") != std::string::npos) return true;
  }
  return false;
}

}  // namespace

void runEmulate(const Options& options, Reporter& reporter) {
  StackOptions stackOptions = stackOptionsFrom(options);  // validates card and knobs
  // On a pseudo-terminal the bytes of one command cross two busy processes
  // (unless the command line sets command-gap-ms itself).
  if (!setsKnob(options, "command-gap-ms")) stackOptions.knobs.reader.commandGapMs = emulator::realTimeCommandGapMs;
  Pty pty;
  openPty(pty);

  RealTimeLoop loop;
  PtyHostPort host(pty.master);
  auto reader = emulator::buildReader(loop, stackOptions.knobs);
  reader->connect(&host);

  reporter.result().set("port", pty.path).set("card", options.card);
  if (reporter.json()) {
    std::printf("{\"port\":\"%s\",\"card\":\"%s\"}\n", pty.path.c_str(), options.card.c_str());
  } else {
    std::printf("%s\n", pty.path.c_str());
    std::fprintf(stderr,
                 "emulated TAV712 with a %s card on %s; try: tav712 --port %s atr\n"
                 "(SIGUSR1 pulls the card out or puts it back; Ctrl-C ends)\n",
                 options.card.c_str(), pty.path.c_str(), pty.path.c_str());
  }
  std::fflush(stdout);

  std::signal(SIGINT, requestStop);
  std::signal(SIGTERM, requestStop);
  std::signal(SIGUSR1, requestCardToggle);
  const line::Nanoseconds deadline =
      options.durationMs ? loop.now() + std::chrono::milliseconds(*options.durationMs) : line::Nanoseconds::max();
  std::uint8_t buffer[256];
  while (!stopRequested && loop.now() < deadline) {
    pollfd poller{pty.master, POLLIN, 0};
    if (cardToggleRequested.exchange(false)) {
      if (reader->card() != nullptr) {
        reader->removeCard();
      } else {
        reader->insertCard(
            std::make_unique<emulator::Card>(emulator::profileFor(stackOptions.knobs), stackOptions.knobs.card));
      }
    }
    // To the nanosecond: a byte of the reader's 19200-baud transmitter is
    // due every 520 microseconds.
    const line::Nanoseconds wait = loop.runDue(std::chrono::milliseconds(100));
    const timespec timeout{static_cast<time_t>(wait.count() / 1'000'000'000),
                           static_cast<long>(wait.count() % 1'000'000'000)};
    if (::ppoll(&poller, 1, &timeout, nullptr) > 0 && (poller.revents & POLLIN) != 0) {
      const ssize_t count = ::read(pty.master, buffer, sizeof buffer);
      for (ssize_t i = 0; i < count; ++i) reader->byteFromHost(buffer[i]);
    }
  }
  reader->connect(nullptr);
}

}  // namespace tav712
