// The whole life of a reader on the built-in emulator, told for people: the
// driver loaded and the reader started, a card waited for and inserted, its
// answer-to-reset analysed, the protocol negotiated, APDUs exchanged with
// the card application, a T=0 card and a T=1 card, removal, system sleep and
// wake, stop, unplugging and driver unload. Everything goes through the
// driver stack; the only direct touches are the emulator's slot and cable,
// which stand for a person's hands.

#include <chrono>

#include "commands.h"
#include "hex.h"
#include "include/tav712_public.h"
#include "session.h"

namespace tav712 {
namespace {

using namespace std::chrono_literals;

struct DemoApdu {
  const char* purpose;
  const char* hex;
};

// The card application: MF 3F00, DF A0 00 00 07 12 01 with EF 6F01 (64
// counting bytes) and EF 6F02 (16 bytes behind PIN 1234).
constexpr DemoApdu demoApdus[] = {
    {"select the application by its AID", "00 A4 04 00 06 A0 00 00 07 12 01"},
    {"select EF 6F01", "00 A4 00 0C 02 6F 01"},
    {"read 16 bytes", "00 B0 00 00 10"},
    {"select EF 6F02 (PIN protected)", "00 A4 00 0C 02 6F 02"},
    {"read before the PIN is verified", "00 B0 00 00 10"},
    {"verify a wrong PIN", "00 20 00 80 04 39 39 39 39"},
    {"verify PIN 1234", "00 20 00 80 04 31 32 33 34"},
    {"read the protected file", "00 B0 00 00 10"},
    {"get an 8-byte challenge", "00 84 00 00 08"},
};

void useCard(Session& session, const char* protocol) {
  session.powerUp(false);
  session.negotiate(protocol);
  for (const auto& apdu : demoApdus) {
    session.reporter().step(std::string("APDU: ") + apdu.purpose);
    session.tellApdu(session.sendApdu(parseHex(apdu.hex)));
  }
}

void expectSuccess(NTSTATUS status, const std::string& what, Stage stage = Stage::system) {
  if (!NT_SUCCESS(status)) throw errorFor(status, FailureContext(stage, what));
}

}  // namespace

void runDemo(const Options& given, Reporter& reporter) {
  if (!given.port.empty()) {
    throw ToolError(ExitStatus::usage, "demo runs on the built-in emulator only",
                    "drop --port, or use atr, protocol and apdu on a real reader");
  }
  Options options = given;
  options.noCard = true;  // the demo inserts its cards itself
  options.card = "t0";
  Session session(options, reporter);
  auto& stack = session.stack();
  auto& scheduler = stack.system().scheduler();
  emulator::Reader& reader = *stack.emulatedReader();

  reporter.step("kernel up: virtual clock, seed " + std::to_string(options.seed) + "; COM1 with a TAV712 on its line");
  session.bringUp();
  auto& client = session.client();

  reporter.step("waiting for a card: IOCTL_SMARTCARD_IS_PRESENT parked by the library");
  reader.callAt(scheduler.now().time_since_epoch() + 1500ms, [](emulator::Reader& r) {
    r.insertCard(std::make_unique<emulator::Card>(emulator::cardProfile("t0"), emulator::CardKnobs{}));
  });
  expectSuccess(client.waitForCard(true, 10s), "waiting for the card", Stage::query);
  reporter.step("T=0 card inserted: the tracking request completed");
  useCard(session, "t0");

  reporter.step("waiting for the card to be removed: IOCTL_SMARTCARD_IS_ABSENT parked");
  reader.callAt(scheduler.now().time_since_epoch() + 1000ms, [](emulator::Reader& r) { r.removeCard(); });
  expectSuccess(client.waitForCard(false, 10s), "waiting for the removal", Stage::query);
  reporter.step("card removed");

  reader.callAt(scheduler.now().time_since_epoch() + 500ms, [](emulator::Reader& r) {
    r.insertCard(std::make_unique<emulator::Card>(emulator::cardProfile("t1"), emulator::CardKnobs{}));
  });
  expectSuccess(client.waitForCard(true, 10s), "waiting for the card", Stage::query);
  reporter.step("T=1 card inserted");
  useCard(session, "t1");

  reporter.step("system going to sleep (S3): the card is powered down, the reader stopped");
  expectSuccess(stack.sleep(PowerSystemSleeping3), "system sleep");
  scheduler.advanceBy(5s);
  reporter.step("system waking up (S0)");
  expectSuccess(stack.wake(), "system wake");
  const auto state = client.state();
  if (state.ok()) reporter.detail("card state after wake: " + cardStateName(ReaderClient::asUlong(state.output)));
  session.powerUp(false);

  client.close();
  reporter.step("handle closed; stopping the reader (query-stop, stop)");
  expectSuccess(stack.stop(), "stopping the reader");
  reporter.step("reader stopped: card powered down, serial port closed");
  expectSuccess(stack.start(), "restarting the reader", Stage::readerStart);
  reporter.step("reader started again");

  reporter.step("reader unplugged: DSR drops");
  reader.unplug();
  scheduler.runUntilIdle();
  reporter.detail(
      std::string("reader interface ") +
      (stack.system().io().interfaces(GUID_DEVINTERFACE_SMARTCARD_READER).empty() ? "disabled" : "still enabled"));
  expectSuccess(stack.surpriseRemove(), "surprise removal");
  reporter.step("device removed (surprise removal, then remove)");
  stack.unloadDriver();
  reporter.step("driver unloaded; the verifier saw no leak");
  reporter.result().set("demo", "complete");
}

}  // namespace tav712
