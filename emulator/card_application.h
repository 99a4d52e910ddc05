#pragma once
// The ISO/IEC 7816-4 application behind both transmission protocols: a small
// file system (MF, DFs with names, transparent EFs) and the commands SELECT,
// READ BINARY, UPDATE BINARY, GET RESPONSE, GET CHALLENGE and VERIFY.

#include <cstdint>
#include <vector>

#include "emulator/apdu.h"
#include "emulator/seeded_random.h"

namespace emulator {

struct CardFile {
  std::uint16_t fid = 0;
  bool dedicated = false;             // DF (true) or transparent EF
  std::vector<std::uint8_t> name;     // DF name (AID), DFs only
  std::vector<std::uint8_t> content;  // EFs only
  bool needsPin = false;              // reading and updating need VERIFY
  int parent = -1;                    // index in the file list; -1 for the MF
};

struct ApplicationConfig {
  std::vector<CardFile> files;  // files[0] is the MF (3F00)
  std::vector<std::uint8_t> pin{'1', '2', '3', '4'};
  std::uint8_t pinTries = 3;
  std::uint64_t challengeSeed = 0;
};

// MF 3F00 with EF 2FE2 (10 bytes); DF 7F10 named A0 00 00 07 12 01 with
// EF 6F01 (64 bytes 00..3F), EF 6F02 (16 bytes, PIN "1234"), EF 6F03
// (300 bytes, i mod 251).
ApplicationConfig defaultApplicationConfig();

class CardApplication {
 public:
  explicit CardApplication(ApplicationConfig config = defaultApplicationConfig());

  ResponseApdu process(const CommandApdu& command);
  // A card reset: MF selected, PIN state and pending response dropped. File
  // contents and the retry counter persist, as in a card's memory.
  void reset();
  // Under T=0, whether P3 counts command data (true) or expected response
  // bytes (false) for this instruction.
  static bool commandCarriesData(std::uint8_t ins);

  std::uint8_t pinTriesLeft() const { return triesLeft_; }
  const std::vector<CardFile>& files() const { return config_.files; }

 private:
  ResponseApdu select(const CommandApdu& command);
  ResponseApdu readBinary(const CommandApdu& command);
  ResponseApdu updateBinary(const CommandApdu& command);
  ResponseApdu getResponse(const CommandApdu& command);
  ResponseApdu getChallenge(const CommandApdu& command);
  ResponseApdu verify(const CommandApdu& command);
  // Hands out data within Ne; what does not fit, or data for a command
  // without Le, waits for GET RESPONSE behind 61xx.
  ResponseApdu respond(std::vector<std::uint8_t> data, const std::optional<std::size_t>& ne, std::uint16_t sw);
  int child(int dir, std::uint16_t fid) const;
  int currentDf() const;
  std::vector<std::uint8_t> controlParameters(int file) const;
  ResponseApdu checkedEf(int& file) const;

  ApplicationConfig config_;
  int current_ = 0;  // selected file (a DF or an EF)
  bool verified_ = false;
  std::uint8_t triesLeft_;
  std::vector<std::uint8_t> pending_;
  SeededRandom random_;
};

}  // namespace emulator
