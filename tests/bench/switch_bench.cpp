// What a switch between the platform's threads costs, in real time: a
// ping-pong of two threads through synchronization events, where every
// hand-over is a switch. Two pairs: two request threads (managed to
// managed), and the program's own thread with one request thread (a foreign
// thread and a managed one, as a test or `tav712` drives the system).
// Prints switches per second, the median of the rounds; asserts nothing.
//
//   switch_bench [round trips]    (scripts/bench-switch builds and runs it)

#include <platform/scheduler.h>

#include <kesync.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Tokens {
  KEVENT ping;
  KEVENT pong;
  Tokens() {
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  }
};

void serve(Tokens& tokens, int roundTrips) {
  for (int i = 0; i < roundTrips; ++i) {
    KeWaitForSingleObject(&tokens.ping, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&tokens.pong, 0, FALSE);
  }
}

void call(Tokens& tokens, int roundTrips) {
  for (int i = 0; i < roundTrips; ++i) {
    KeSetEvent(&tokens.ping, 0, FALSE);
    KeWaitForSingleObject(&tokens.pong, Executive, KernelMode, FALSE, nullptr);
  }
}

// One round: switches per second of a ping-pong. `foreignClient`: the
// calling thread plays the client itself instead of a request thread.
double round(int roundTrips, bool foreignClient) {
  platform::Scheduler scheduler;
  Tokens tokens;
  const auto start = Clock::now();
  auto server = scheduler.spawn("server", [&] { serve(tokens, roundTrips); });
  if (foreignClient)
    call(tokens, roundTrips);
  else
    scheduler.run([&] { call(tokens, roundTrips); }, "client");
  scheduler.join(server);
  const std::chrono::duration<double> wall = Clock::now() - start;
  return static_cast<double>(scheduler.switchCount()) / wall.count();
}

double median(int rounds, const std::function<double()>& measure) {
  std::vector<double> rates;
  for (int i = 0; i < rounds; ++i) rates.push_back(measure());
  std::sort(rates.begin(), rates.end());
  return rates[rates.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int roundTrips = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
  constexpr int kRounds = 5;
  std::printf("switch ping-pong, %d round trips, median of %d rounds\n", roundTrips, kRounds);
  std::printf("  request <-> request : %12.0f switches/s\n", median(kRounds, [&] { return round(roundTrips, false); }));
  std::printf("  foreign <-> request : %12.0f switches/s\n", median(kRounds, [&] { return round(roundTrips, true); }));
  return 0;
}
