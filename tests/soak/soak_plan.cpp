#include "soak_plan.h"

#include <platform/faults.h>

#include <array>
#include <sstream>
#include <stdexcept>

namespace tav712::soak {
namespace {

using namespace std::chrono_literals;

constexpr std::array<std::string_view, opCount> opNames{"open",
                                                        "close",
                                                        "cold-reset",
                                                        "warm-reset",
                                                        "power-down",
                                                        "set-protocol",
                                                        "apdu",
                                                        "apdu-then-pull",
                                                        "get-state",
                                                        "get-attribute",
                                                        "track-present",
                                                        "track-absent",
                                                        "cancel-tracking",
                                                        "pull-card",
                                                        "insert-card",
                                                        "unplug",
                                                        "plug",
                                                        "stop",
                                                        "remove",
                                                        "surprise-remove",
                                                        "sleep",
                                                        "idle"};

// A small generator whose draws do not depend on the standard library's
// distributions, so that a seed means the same life on every build.
class Draw {
 public:
  explicit Draw(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {  // splitmix64
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // In [low, high].
  std::uint32_t between(std::uint32_t low, std::uint32_t high) {
    return low + static_cast<std::uint32_t>(next() % (std::uint64_t{high} - low + 1));
  }
  bool chance(std::uint32_t percent) { return between(1, 100) <= percent; }
  template <typename T, std::size_t N>
  const T& pick(const std::array<T, N>& items) {
    return items[between(0, static_cast<std::uint32_t>(N - 1))];
  }

 private:
  std::uint64_t state_;
};

// Card and reader misbehaviour: each knob with its own chance, most of them
// rare, so that a seed has a few and many seeds have none.
std::string drawKnobs(Draw& draw) {
  static constexpr std::array<std::string_view, 7> profiles{"t0",       "t1",      "t1-crc", "dual",
                                                            "specific", "inverse", "slow"};
  std::ostringstream text;
  text << "profile=" << draw.pick(profiles) << ",seed=" << draw.between(1, 1000000);
  const auto add = [&](std::string_view name, std::uint32_t value) { text << ',' << name << '=' << value; };
  if (draw.chance(5)) text << ",no-card";
  if (draw.chance(8)) add("silent-after", draw.between(2, 400));
  if (draw.chance(10)) add("parity-error-byte", draw.between(1, 300));
  if (draw.chance(8)) {
    add("late-byte", draw.between(1, 300));
    add("late-ms", draw.between(1, 3000));
  }
  if (draw.chance(5)) add("garbage-after-atr", draw.between(1, 8));
  if (draw.chance(12)) add("wtx", draw.between(1, 4));
  if (draw.chance(12)) add("ifs-request", draw.between(16, 254));
  if (draw.chance(6)) add("len-ff-block", draw.between(1, 12));
  if (draw.chance(10)) add("bad-edc-block", draw.between(1, 12));
  if (draw.chance(8)) add("lost-block", draw.between(1, 12));
  if (draw.chance(8)) add("wrong-reply", draw.between(1, 80));
  if (draw.chance(8)) add("error-reply", draw.between(1, 80));
  if (draw.chance(8)) {
    add("late-reply", draw.between(1, 80));
    add("late-reply-ms", draw.between(1, 1500));
  }
  if (draw.chance(3)) add("reader-silent-after", draw.between(10, 2000));
  if (draw.chance(8)) add("remove-after-byte", draw.between(1, 400));
  if (draw.chance(6)) add("remove-at-ms", draw.between(1, 20000));
  if (draw.chance(6)) add("insert-at-ms", draw.between(1, 20000));
  if (draw.chance(5)) add("dsr-drop-ms", draw.between(1, 20000));
  if (draw.chance(8)) {
    static constexpr std::array<std::string_view, 5> pts{"echo", "silent", "no-pts1", "other", "bad-pck"};
    text << ",pts=" << draw.pick(pts);
  }
  if (draw.chance(8)) {
    static constexpr std::array<std::string_view, 3> acks{"full", "single", "mixed"};
    text << ",t0-ack=" << draw.pick(acks);
  }
  if (draw.chance(8)) add("t0-nulls", draw.between(1, 20));
  return text.str();
}

// How a real lower driver may complete: each knob off unless drawn.
void drawPort(Draw& draw, Plan& plan) {
  if (draw.chance(30)) {
    plan.port.completePowerAtDispatchLevel = true;
    plan.port.powerCompletionDelay = std::chrono::microseconds(draw.between(0, 20000));
    plan.portKnobs.emplace_back("power-at-dispatch-level");
  }
  if (draw.chance(25)) {
    plan.port.completeReadsAndWaitsAfter = std::chrono::microseconds(draw.between(0, 3000));
    plan.portKnobs.emplace_back("reads-and-waits-elsewhere");
  }
  if (draw.chance(25)) {
    plan.port.completeCancelledAfter = std::chrono::microseconds(draw.between(0, 50000));
    plan.portKnobs.emplace_back("cancelled-later");
  }
}

Step drawStep(Draw& draw) {
  // Weights: the exchanges an application makes are common, the hands and
  // the managers less so.
  static constexpr std::array<std::pair<Op, std::uint32_t>, opCount> weights{{
      {Op::open, 8},         {Op::close, 3},       {Op::coldReset, 10},     {Op::warmReset, 4}, {Op::powerDown, 3},
      {Op::setProtocol, 8},  {Op::apdu, 22},       {Op::apduThenPull, 2},   {Op::getState, 4},  {Op::getAttribute, 3},
      {Op::trackPresent, 3}, {Op::trackAbsent, 3}, {Op::cancelTracking, 3}, {Op::pullCard, 3},  {Op::insertCard, 4},
      {Op::unplug, 1},       {Op::plug, 2},        {Op::stop, 2},           {Op::remove, 1},    {Op::surpriseRemove, 1},
      {Op::sleep, 2},        {Op::idle, 4},
  }};
  std::uint32_t total = 0;
  for (const auto& [op, weight] : weights) total += weight;
  std::uint32_t pick = draw.between(1, total);
  for (const auto& [op, weight] : weights) {
    if (pick <= weight) return Step{op, draw.between(0, 0xFFFF)};
    pick -= weight;
  }
  return Step{Op::idle, 0};
}

}  // namespace

std::vector<std::string> soakFaultKinds() {
  using namespace platform::fault;
  return {std::string(kPool),
          std::string(kWorkItem),
          std::string(kCreateDevice),
          std::string(kAttach),
          std::string(kRegisterInterface),
          std::string(kSetInterfaceState),
          std::string(kRequestPowerIrp),
          std::string(kErrorLogEntry),
          std::string(kSmartcardInitialize)};
}

std::string_view opName(Op op) { return opNames.at(static_cast<std::size_t>(op)); }

namespace {

// The knobs as the text names them; a text the emulator refuses is the
// soak's own fault.
void applyDrawnKnobs(Plan& plan) {
  plan.knobs = {};
  if (const auto error = emulator::applyKnobs(plan.knobText, plan.knobs)) {
    throw std::logic_error("soak drew knobs the emulator refuses: " + plan.knobText + ": " + *error);
  }
}

}  // namespace

Plan drawPlan(std::uint64_t seed) {
  Draw draw(seed);
  Plan plan;
  plan.seed = seed;
  plan.knobText = drawKnobs(draw);
  applyDrawnKnobs(plan);
  drawPort(draw, plan);
  static constexpr std::array<double, 4> chances{0.002, 0.01, 0.03, 0.1};
  if (draw.chance(40)) plan.faultChance = draw.pick(chances);
  const std::uint32_t steps = draw.between(8, 40);
  for (std::uint32_t i = 0; i < steps; ++i) plan.steps.push_back(drawStep(draw));
  // Drawn last, so that the knobs and steps of a seed stay what they were
  // before the scheduler had late wake-ups.
  if (draw.chance(50)) plan.lateWakeupBound = std::chrono::microseconds(draw.between(1, 5000));
  // Knobs added since come after everything else, for the same reason.
  if (draw.chance(8)) {
    plan.knobText += ",error-before-reply=" + std::to_string(draw.between(1, 80));
    applyDrawnKnobs(plan);
  }
  return plan;
}

std::string Plan::describe() const {
  std::ostringstream text;
  text << "seed " << seed << ": knobs " << knobText << "; port";
  if (portKnobs.empty()) text << " plain";
  for (const auto& knob : portKnobs) text << ' ' << knob;
  if (port.completePowerAtDispatchLevel) {
    text << " (power +" << std::chrono::duration_cast<std::chrono::microseconds>(port.powerCompletionDelay).count()
         << " us)";
  }
  if (port.completeReadsAndWaitsAfter) {
    text << " (reads +"
         << std::chrono::duration_cast<std::chrono::microseconds>(*port.completeReadsAndWaitsAfter).count() << " us)";
  }
  if (port.completeCancelledAfter) {
    text << " (cancelled +"
         << std::chrono::duration_cast<std::chrono::microseconds>(*port.completeCancelledAfter).count() << " us)";
  }
  if (lateWakeupBound > platform::Duration::zero()) {
    text << "; late wake-ups up to " << std::chrono::duration_cast<std::chrono::microseconds>(lateWakeupBound).count()
         << " us";
  }
  text << "; fault chance " << faultChance << (allFaultKinds ? " (all kinds)" : "") << "\n  steps:";
  for (const Step& step : steps) text << ' ' << opName(step.op) << '/' << step.value;
  return text.str();
}

}  // namespace tav712::soak
