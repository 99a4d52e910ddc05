// The reader's byte stream as the driver receives it, altered by the fuzzer:
// a device on the line between the port and the emulated reader (a dual T=0
// and T=1 card in its slot) passes, replaces, drops, inserts or delays each
// byte the reader sends, or unplugs the reader, during the reader's start,
// its power-up of the card, protocol selections and T=0 and T=1 transmits.
// With no input left every byte passes, so a short input is a faithful
// reader from some point on.
//
// Invariants (besides the sanitizers, the verifier and the virtual-time
// bound of every request): every answer fits the caller's buffer, and an
// ATR or a transmit's answer reported successful is made of bytes that came
// down the line during the request.
//
// Input: a length byte n, then n bytes of session steps (see runSession),
// then one control byte per byte the reader sends (and the bytes those
// controls take).
#include <algorithm>
#include <cstdint>
#include <memory>

#include "emulator/reader.h"
#include "fuzz_stack.h"

namespace {

using line::Nanoseconds;

constexpr Nanoseconds kByteTime = line::characterTime(emulator::readerLineSettings);

class StreamAlteration final : public line::LineDevice, public line::HostPort {
 public:
  StreamAlteration(emulator::Reader& reader, line::Timeline& timeline, fuzz::Input& controls)
      : reader_(reader), timeline_(timeline), controls_(controls) {}
  ~StreamAlteration() override { reader_.connect(nullptr); }

  // The port's side.
  void connect(line::HostPort* host) override {
    host_ = host;
    reader_.connect(host != nullptr ? this : nullptr);
  }
  void byteFromHost(std::uint8_t byte) override { reader_.byteFromHost(byte); }
  bool applyLineSettings(const line::LineSettings& settings) override { return reader_.applyLineSettings(settings); }
  bool dsr() const override { return reader_.dsr(); }

  // The reader's side: each byte as its stop bit ends.
  void byteReceived(std::uint8_t byte) override {
    const std::uint8_t control = controls_.byte();
    if (control < 0x80) {
      send(byte);
    } else if (control < 0xA0) {
      send(controls_.byte());  // replaced
    } else if (control < 0xC0) {
      // dropped
    } else if (control < 0xE0) {
      for (const std::uint8_t extra : controls_.take((control & 0x07) + 1u)) send(extra);
      send(byte);
    } else if (control < 0xFF) {
      send(byte, (control & 0x1F) * std::chrono::milliseconds(40));  // late, up to 1.2 s
    } else {
      reader_.unplug();
    }
  }
  void dsrChanged(bool asserted) override {
    if (host_ != nullptr) host_->dsrChanged(asserted);
  }

  const fuzz::Bytes& delivered() const { return delivered_; }

 private:
  // Bytes leave one after another, each a character time after the last.
  void send(std::uint8_t byte, Nanoseconds late = Nanoseconds(0)) {
    lineFreeAt_ = std::max(timeline_.now(), lineFreeAt_ + kByteTime) + late;
    timeline_.callAt(lineFreeAt_, [this, life = std::weak_ptr<int>(life_), byte] {
      if (life.expired() || host_ == nullptr) return;
      delivered_.push_back(byte);
      host_->byteReceived(byte);
    });
  }

  emulator::Reader& reader_;
  line::Timeline& timeline_;
  fuzz::Input& controls_;
  line::HostPort* host_ = nullptr;
  Nanoseconds lineFreeAt_{-kByteTime};
  fuzz::Bytes delivered_;
  std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const auto steps = input.take(input.byte());
  fuzz::Input session(steps.data(), steps.size());
  const auto rest = input.rest();
  fuzz::Input controls(rest.data(), rest.size());

  StreamAlteration* line = nullptr;
  tav712::StackOptions options;
  options.knobs.profile = "dual";
  options.lineBetween = [&](emulator::Reader& reader, line::Timeline& timeline) {
    auto alteration = std::make_unique<StreamAlteration>(reader, timeline, controls);
    line = alteration.get();
    return alteration;
  };
  fuzz::StackRun run(std::move(options));
  if (!run.bringUp()) return 0;
  const fuzz::SessionEnds ends{[&] { return line->delivered().size(); },
                               [&](std::size_t from) {
                                 return fuzz::Bytes(line->delivered().begin() + static_cast<std::ptrdiff_t>(from),
                                                    line->delivered().end());
                               }};
  fuzz::runSession(run, session, ends, 12);
  return 0;
}
