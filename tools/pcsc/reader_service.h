#pragma once
// One TAV712 reader served to pcscd, and a thread-safe face for the IFD
// handler's calls. Every reader of the process is a device stack on one
// kernel (reader_kernel.h), up to the driver's limit. pcscd calls in from
// several threads (its reader threads, its polling threads, client
// contexts); every call is carried to a request thread of the kernel and its
// answer carried back.
//
// This header is free of kernel and pcsc-lite types on purpose: pcsc-lite's
// DWORD is 64-bit on Linux while the kernel's ULONG is 32-bit, so the two
// sets of headers never meet in one translation unit.

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "transmit_limits.h"

namespace tav712::pcsc {

// The driver serves at most this many readers at a time.
inline constexpr int maxReaders = 10;

// What a request came to, in the handler's terms. The driver's status codes
// are mapped to these in one place (outcomeFor).
enum class Outcome {
  ok,
  noCard,           // no card in the reader
  cardMute,         // the card did not answer (time-out)
  protocolRefused,  // the protocol or its parameters were refused
  readerGone,       // the reader was unplugged or removed (DSR dropped)
  notSupported,     // a request the driver does not serve
  bufferTooSmall,
  cancelled,
  // The request outlasted the handler's wait; it goes on in the driver and
  // the reader serves the next request once it has ended.
  tooSlow,
  failure,
};

const char* outcomeName(Outcome outcome);
// The driver's NTSTATUS (as its 32-bit value) in the handler's terms.
Outcome outcomeFor(std::int32_t ntStatus);

struct Reply {
  Outcome outcome = Outcome::failure;
  std::vector<std::uint8_t> data;
  bool ok() const { return outcome == Outcome::ok; }
};

enum class PowerAction { coldReset, warmReset, powerDown };

// The reader's vendor request (device type smart card, function 2049,
// buffered): library, driver and firmware versions in 8 bytes.
inline constexpr std::uint32_t vendorGetVersionCode = 0x00312004;

// Protocol numbers as the driver's control requests use them.
inline constexpr std::uint32_t protocolT0 = 1;
inline constexpr std::uint32_t protocolT1 = 2;

class ReaderService {
 public:
  // `device` is pcscd's DEVICENAME: a serial device ("/dev/ttyS0"), or
  // "emulator:" for the built-in emulator, which may be followed by knobs
  // ("emulator:profile=dual,silent-after=40"; "emulator" alone names it
  // too). Brings the reader up (driver loaded once, reader added and
  // started, its interface opened) before it returns, so that the first
  // presence check finds it ready.
  static std::unique_ptr<ReaderService> open(const std::string& device, Outcome& outcome, WaitBounds bounds = {});
  ~ReaderService();
  ReaderService(const ReaderService&) = delete;
  ReaderService& operator=(const ReaderService&) = delete;

  Reply power(PowerAction action);
  // The selected protocol comes back as 4 bytes, little-endian.
  Reply setProtocol(std::uint32_t protocolMask);
  // At most `answerRoom` bytes of answer (at most maxAnswerLength).
  Reply transmit(std::uint32_t protocol, std::span<const std::uint8_t> apdu, std::size_t answerRoom = maxAnswerLength);
  Reply attribute(std::uint32_t tag);
  Reply control(std::uint32_t code, std::span<const std::uint8_t> input, std::uint32_t outputLength);
  // SCARD_UNKNOWN (0) .. SCARD_SPECIFIC (6); ok with the state in data[0].
  Reply cardState();
  // Parks a card-tracking request (insertion when the slot is empty, removal
  // otherwise) and waits for it at most `timeout`: ok when the card moved,
  // cancelled when the time ran out or stopWaiting() was called.
  Outcome waitForCardMovement(std::chrono::milliseconds timeout);
  void stopWaiting();

 private:
  struct Impl;
  explicit ReaderService(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tav712::pcsc
