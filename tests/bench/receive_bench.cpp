// How fast the receive path drains what the serial port's queue holds, in
// real time: bursts written at once to a pseudo-terminal, read through the
// tty backend, the serial port driver and the receive engine, as a T=1
// answer is read (the 3-byte prologue, then the rest). Prints, per burst
// size, the time until the prologue was delivered and the bytes per second
// of the whole burst (median and slowest of the rounds).
//
//   receive_bench [rounds]        (scripts/bench-receive builds and runs it)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/ReceiveEngine.h"
#include "serial/tty_pty_pair.h"
#include "support/driver_harness.h"

namespace {

using Clock = std::chrono::steady_clock;
using tav712::testing::Bytes;
using tav712::testing::DriverHarness;
using tav712::testing::TerminalLine;

struct Round {
  double prologueMs = 0;
  double bytesPerSecond = 0;
  bool ok = false;
};

Round measure(DriverHarness& harness, serial::testing::PtyPair& pty, std::size_t size) {
  Bytes burst(size);
  for (std::size_t i = 0; i < size; ++i) burst[i] = static_cast<std::uint8_t>(0x20 + i % 0x60);
  Round round;
  harness.call([&] {
    PREADER_EXTENSION reader = harness.readerExtension();
    Bytes received(size);
    const Clock::time_point start = Clock::now();
    pty.writeToPort(burst);
    const ULONG first = static_cast<ULONG>(std::min<std::size_t>(3, size));
    if (ReaderReceive(reader, received.data(), first) != STATUS_SUCCESS) return;
    const Clock::time_point prologue = Clock::now();
    if (size > first &&
        ReaderReceive(reader, received.data() + first, static_cast<ULONG>(size - first)) != STATUS_SUCCESS) {
      return;
    }
    const Clock::time_point end = Clock::now();
    round.prologueMs = std::chrono::duration<double, std::milli>(prologue - start).count();
    round.bytesPerSecond = static_cast<double>(size) / std::chrono::duration<double>(end - start).count();
    round.ok = received == burst;
  });
  return round;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  serial::testing::PtyPair pty;
  DriverHarness harness({.line = TerminalLine{pty.slavePath()}});
  if (harness.openLink() != STATUS_SUCCESS) {
    std::fprintf(stderr, "receive_bench: the link did not open\n");
    return 1;
  }
  // Generous receive time-outs: the bench measures, it does not judge.
  harness.readerExtension()->ReadCharTimeout = 50;
  harness.readerExtension()->ReadTotalTimeout = 5000;
  std::printf("%8s %8s %14s %14s %16s %16s\n", "burst", "failed", "prologue ms", "(slowest)", "bytes/s", "(slowest)");
  int failures = 0;
  for (const std::size_t size :
       {std::size_t{3}, std::size_t{64}, std::size_t{256}, std::size_t{258}, std::size_t{512}, std::size_t{767}}) {
    std::vector<double> prologues;
    std::vector<double> rates;
    int failed = 0;
    for (int i = 0; i < rounds; ++i) {
      const Round round = measure(harness, pty, size);
      if (!round.ok) {
        ++failed;
        continue;
      }
      prologues.push_back(round.prologueMs);
      rates.push_back(round.bytesPerSecond);
    }
    failures += failed;
    std::sort(prologues.begin(), prologues.end());
    std::sort(rates.begin(), rates.end());
    if (rates.empty()) {
      std::printf("%8zu %8d\n", size, failed);
      continue;
    }
    std::printf("%8zu %8d %14.1f %14.1f %16.0f %16.0f\n", size, failed, prologues[prologues.size() / 2],
                prologues.back(), rates[rates.size() / 2], rates.front());
  }
  return failures == 0 ? 0 : 1;
}
