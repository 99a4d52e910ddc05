#pragma once
// A pseudo-terminal pair for real-time tests of the tty backend: the port
// opens the slave by its path as it would a real device; the test plays the
// far end on the master.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

namespace serial::testing {

class PtyPair {
 public:
  PtyPair() {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
      throw std::system_error(errno, std::generic_category(), "openpty");
    }
    // The port under test opens its own descriptor by path.
    ::close(slave);
    slavePath_ = name;
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;
  ~PtyPair() { closeMaster(); }

  const std::string& slavePath() const { return slavePath_; }

  void writeToPort(const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Reads from the port's output until count bytes have come or the
  // deadline passes.
  std::vector<std::uint8_t> readFromPort(std::size_t count, std::chrono::milliseconds deadline) {
    std::vector<std::uint8_t> bytes;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (bytes.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd fd{master_, POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
      std::uint8_t buffer[256];
      const ssize_t got = ::read(master_, buffer, std::min(sizeof buffer, count - bytes.size()));
      if (got <= 0) break;
      bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
  }

  // The far end's descriptor, for a test that drives it itself.
  int masterFd() const { return master_; }

  void closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string slavePath_;
};

// Floods the port from the far end with seeded random bytes, as fast as the
// terminal takes them, on a thread of its own until destroyed.
class Flood {
 public:
  // Writes never block: a full terminal is waited for in short polls, so
  // that the flood stops promptly.
  Flood(int masterFd, std::uint32_t seed) : fd_(masterFd), flags_(::fcntl(masterFd, F_GETFL)) {
    ::fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
    thread_ = std::thread([this, seed] { run(seed); });
  }
  Flood(const Flood&) = delete;
  Flood& operator=(const Flood&) = delete;
  ~Flood() {
    stop_ = true;
    thread_.join();
    ::fcntl(fd_, F_SETFL, flags_);
  }

 private:
  void run(std::uint32_t seed) {
    std::minstd_rand random(seed);
    std::uint8_t chunk[1024];
    while (!stop_) {
      for (std::uint8_t& byte : chunk) byte = static_cast<std::uint8_t>(random());
      pollfd fd{fd_, POLLOUT, 0};
      if (::poll(&fd, 1, 10) <= 0) continue;
      (void)::write(fd_, chunk, sizeof chunk);
    }
  }

  int fd_;
  int flags_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Collects what another thread reports and lets the test wait for it with a
// deadline, never a fixed sleep.
template <typename Item>
class Inbox {
 public:
  void push(Item item) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(item));
    }
    changed_.notify_all();
  }
  // Waits until at least count items arrived or the deadline passed; returns
  // what arrived.
  std::vector<Item> waitFor(std::size_t count, std::chrono::milliseconds deadline) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, deadline, [&] { return items_.size() >= count; });
    return items_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Item> items_;
};

}  // namespace serial::testing
