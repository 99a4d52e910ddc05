// Per-APDU times of the whole stack, as an application sees them, and the
// scheduler's switch rate. Figures for scripts/bench; it judges nothing.
//
//   apdu_bench apdus PROFILE ROUNDS [PORT]
//       the emulated reader with a PROFILE card on the virtual clock, or the
//       reader on PORT (a tty or `tav712 emulate`'s pseudo-terminal) in real
//       time. Per APDU of the set: "apdu NAME SECONDS" (the median over the
//       rounds, of the stack's own clock), then
//       "loop PROTOCOL CLOCK_SECONDS WALL_SECONDS" for the whole loop.
//   apdu_bench switches ROUND_TRIPS
//       two managed threads hand a token back and forth through
//       synchronization events: "switches COUNT WALL_SECONDS".

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "stack/reader_client.h"
#include "stack/reader_stack.h"

namespace {

using Clock = std::chrono::steady_clock;
using tav712::Bytes;

struct Apdu {
  const char* name;
  Bytes command;
};

// Select the application, then its files; every command answers 90 00.
std::vector<Apdu> apduSet() {
  Bytes write{0x00, 0xD6, 0x00, 0x00, 250};
  for (int i = 0; i < 250; ++i) write.push_back(static_cast<std::uint8_t>(i));
  return {
      {"select", {0x00, 0xA4, 0x04, 0x0C, 0x06, 0xA0, 0x00, 0x00, 0x07, 0x12, 0x01}},
      {"select-file", {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x03}},
      {"read-16", {0x00, 0xB0, 0x00, 0x00, 0x10}},
      {"get-challenge", {0x00, 0x84, 0x00, 0x00, 0x08}},
      {"read-255", {0x00, 0xB0, 0x00, 0x00, 0xFF}},
      {"write-250", write},
  };
}

double seconds(std::chrono::nanoseconds duration) { return std::chrono::duration<double>(duration).count(); }

int fail(const char* what, NTSTATUS status) {
  std::fprintf(stderr, "apdu_bench: %s failed (0x%08X)\n", what, static_cast<unsigned>(status));
  return 1;
}

int benchApdus(const std::string& profile, int rounds, const std::string& port) {
  tav712::StackOptions options;
  options.portPath = port;
  options.knobs.profile = profile;
  tav712::ReaderStack stack(options);
  platform::Scheduler& scheduler = stack.system().scheduler();
  if (const NTSTATUS status = stack.bringUp(); !NT_SUCCESS(status)) return fail("bringing the reader up", status);
  tav712::ReaderClient client(stack.system());
  if (!client.open()) return fail("opening the reader", client.openStatus());
  if (const NTSTATUS status = client.waitForCard(true, std::chrono::seconds(5)); status != STATUS_SUCCESS) {
    return fail("waiting for the card", status);
  }
  if (const auto reply = client.power(SCARD_COLD_RESET); !reply.ok()) return fail("cold reset", reply.status);
  const auto selected = client.setProtocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
  if (!selected.ok()) return fail("selecting the protocol", selected.status);
  const ULONG protocol = tav712::ReaderClient::asUlong(selected.output);

  const std::vector<Apdu> apdus = apduSet();
  std::map<std::string, std::vector<double>> times;
  const auto loopStart = scheduler.now();
  const Clock::time_point wallStart = Clock::now();
  for (int round = 0; round < rounds; ++round) {
    for (const Apdu& apdu : apdus) {
      const auto start = scheduler.now();
      const auto reply = client.transmit(protocol, apdu.command);
      if (!reply.ok()) return fail(apdu.name, reply.status);
      if (reply.output.size() < 2 || reply.output.end()[-2] != 0x90 || reply.output.end()[-1] != 0x00) {
        std::fprintf(stderr, "apdu_bench: %s was not answered 90 00\n", apdu.name);
        return 1;
      }
      times[apdu.name].push_back(seconds(scheduler.now() - start));
    }
  }
  const double wall = seconds(Clock::now() - wallStart);
  const double clock = seconds(scheduler.now() - loopStart);
  for (const Apdu& apdu : apdus) {
    std::vector<double>& samples = times[apdu.name];
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2), samples.end());
    std::printf("apdu %s %.6f\n", apdu.name, samples[samples.size() / 2]);
  }
  std::printf("loop T=%d %.6f %.6f\n", protocol == SCARD_PROTOCOL_T1 ? 1 : 0, clock, wall);
  return 0;
}

int benchSwitches(int roundTrips) {
  platform::System system;
  platform::Scheduler& scheduler = system.scheduler();
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  const std::uint64_t before = scheduler.switchCount();
  const Clock::time_point wallStart = Clock::now();
  auto server = scheduler.spawn("server", [&] {
    for (int i = 0; i < roundTrips; ++i) {
      KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
      KeSetEvent(&pong, 0, FALSE);
    }
  });
  scheduler.run(
      [&] {
        for (int i = 0; i < roundTrips; ++i) {
          KeSetEvent(&ping, 0, FALSE);
          KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
        }
      },
      "client");
  scheduler.join(server);
  const double wall = seconds(Clock::now() - wallStart);
  std::printf("switches %llu %.6f\n", static_cast<unsigned long long>(scheduler.switchCount() - before), wall);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() >= 3 && args[0] == "apdus") {
      return benchApdus(args[1], std::max(1, std::atoi(args[2].c_str())), args.size() > 3 ? args[3] : "");
    }
    if (args.size() == 2 && args[0] == "switches") return benchSwitches(std::max(1, std::atoi(args[1].c_str())));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "apdu_bench: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: apdu_bench apdus PROFILE ROUNDS [PORT] | apdu_bench switches ROUND_TRIPS\n");
  return 2;
}
