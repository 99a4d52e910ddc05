// soak: runs whole reader lives drawn from seeds (see soak_plan.h and
// soak_life.h) and reports what they did and which seeds failed.
//
//   soak --seed N [--verbose]        one life; with --verbose every step
//   soak --first S --count N         N consecutive seeds from S
//   --all-faults                     fail every kind of fallible call, also
//                                    those the driver does not survive yet
//   --late-wakeups                   the scheduler's late wake-ups as drawn
//                                    (a loaded machine; off in the CI slice
//                                    until the driver survives them)
//
// The totals end the output as "total <what> <name> <count>" lines (what:
// seeds, seconds, op, fault), which scripts/soak adds up over processes.
// Exit status 1 when a seed failed, 2 on bad arguments.

#include <chrono>
#include <cstdint>
#include <iostream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "soak_life.h"
#include "soak_plan.h"

namespace {

using tav712::soak::LifeResult;

struct Arguments {
  std::uint64_t first = 1;
  std::uint64_t count = 1;
  bool verbose = false;
  bool allFaultKinds = false;
  bool lateWakeups = false;
};

bool parse(int argc, char** argv, Arguments& arguments) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    const bool hasValue = i + 1 < argc;
    if (argument == "--verbose") {
      arguments.verbose = true;
    } else if (argument == "--all-faults") {
      arguments.allFaultKinds = true;
    } else if (argument == "--late-wakeups") {
      arguments.lateWakeups = true;
    } else if ((argument == "--seed" || argument == "--first") && hasValue) {
      arguments.first = std::stoull(argv[++i], nullptr, 0);
    } else if (argument == "--count" && hasValue) {
      arguments.count = std::stoull(argv[++i], nullptr, 0);
    } else {
      return false;
    }
  }
  return arguments.count > 0;
}

void reportFailure(std::uint64_t seed, const tav712::soak::Plan& plan, const LifeResult& life, bool verbose) {
  std::cout << "FAILED seed " << seed << ": " << life.failures.front()
            << "\n  replay: " << tav712::soak::replayLine(seed)
            << (plan.lateWakeupBound > platform::Duration::zero() ? " --late-wakeups" : "")
            << "\n  plan: " << plan.describe() << '\n';
  if (verbose) {
    for (const auto& failure : life.failures) std::cout << "  failure: " << failure << '\n';
    std::cout << "  kernel trace, last lines:\n" << life.traceTail;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  try {
    if (!parse(argc, argv, arguments)) {
      std::cerr
          << "usage: soak --seed N [--verbose] [--all-faults] [--late-wakeups] | soak --first S --count N [...]\n";
      return 2;
    }
  } catch (const std::exception&) {
    std::cerr << "soak: a seed or count is not a number\n";
    return 2;
  }
  const auto started = std::chrono::steady_clock::now();
  std::map<std::string, std::uint64_t> operations;
  std::map<std::string, std::uint64_t> faults;
  std::uint64_t failed = 0;
  for (std::uint64_t seed = arguments.first; seed < arguments.first + arguments.count; ++seed) {
    tav712::soak::Plan plan = tav712::soak::drawPlan(seed);
    plan.allFaultKinds = arguments.allFaultKinds;
    if (!arguments.lateWakeups) plan.lateWakeupBound = {};
    const bool stepByStep = arguments.verbose && arguments.count == 1;
    if (stepByStep) std::cout << plan.describe() << '\n';
    const LifeResult life = tav712::soak::live(plan, stepByStep ? &std::cout : nullptr);
    for (const auto& [name, count] : life.operations) operations[name] += count;
    for (const auto& [name, count] : life.faults) faults[name] += count;
    if (!life.passed()) {
      ++failed;
      reportFailure(seed, plan, life, arguments.verbose);
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cout << "total seeds run " << arguments.count << "\ntotal seeds failed " << failed << "\ntotal seconds wall "
            << seconds << '\n';
  for (const auto& [name, count] : operations) std::cout << "total op " << name << ' ' << count << '\n';
  for (const auto& [name, count] : faults) std::cout << "total fault " << name << ' ' << count << '\n';
  return failed == 0 ? 0 : 1;
}
