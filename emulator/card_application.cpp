#include "emulator/card_application.h"

#include <algorithm>
#include <string>

namespace emulator {
namespace {

constexpr std::uint16_t swOk = 0x9000;

ResponseApdu status(std::uint16_t sw) { return ResponseApdu{{}, sw}; }

std::uint16_t fidAt(const std::vector<std::uint8_t>& data, std::size_t at) {
  return static_cast<std::uint16_t>((data[at] << 8) | data[at + 1]);
}

}  // namespace

ApplicationConfig defaultApplicationConfig() {
  ApplicationConfig config;
  config.files.push_back(CardFile{0x3F00, true, {}, {}, false, -1});
  config.files.push_back(
      CardFile{0x2FE2, false, {}, {0x98, 0x94, 0x07, 0x12, 0x00, 0x00, 0x00, 0x00, 0x01, 0x23}, false, 0});
  config.files.push_back(CardFile{0x7F10, true, {0xA0, 0x00, 0x00, 0x07, 0x12, 0x01}, {}, false, 0});
  std::vector<std::uint8_t> counting(64);
  for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
  config.files.push_back(CardFile{0x6F01, false, {}, counting, false, 2});
  const std::string secret = "TAV712 secret 16";
  config.files.push_back(CardFile{0x6F02, false, {}, {secret.begin(), secret.end()}, true, 2});
  std::vector<std::uint8_t> large(300);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i % 251);
  config.files.push_back(CardFile{0x6F03, false, {}, large, false, 2});
  return config;
}

CardApplication::CardApplication(ApplicationConfig config)
    : config_(std::move(config)), triesLeft_(config_.pinTries), random_(config_.challengeSeed) {
  if (config_.files.empty()) config_.files.push_back(CardFile{0x3F00, true, {}, {}, false, -1});
}

void CardApplication::reset() {
  current_ = 0;
  verified_ = false;
  pending_.clear();
}

bool CardApplication::commandCarriesData(std::uint8_t ins) {
  switch (ins) {
    case 0xA4:  // SELECT
    case 0xD6:  // UPDATE BINARY
    case 0x20:  // VERIFY
      return true;
    default: return false;
  }
}

ResponseApdu CardApplication::process(const CommandApdu& command) {
  if ((command.cla & 0x80) != 0) return status(0x6E00);
  if (command.ins != 0xC0) pending_.clear();
  switch (command.ins) {
    case 0xA4: return select(command);
    case 0xB0: return readBinary(command);
    case 0xD6: return updateBinary(command);
    case 0xC0: return getResponse(command);
    case 0x84: return getChallenge(command);
    case 0x20: return verify(command);
    default: return status(0x6D00);
  }
}

ResponseApdu CardApplication::respond(std::vector<std::uint8_t> data, const std::optional<std::size_t>& ne,
                                      std::uint16_t sw) {
  const std::size_t room = ne.value_or(0);
  if (data.size() <= room) return ResponseApdu{std::move(data), sw};
  std::vector<std::uint8_t> now(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(room));
  pending_.assign(data.begin() + static_cast<std::ptrdiff_t>(room), data.end());
  const std::size_t left = std::min<std::size_t>(pending_.size(), 256);
  return ResponseApdu{std::move(now), static_cast<std::uint16_t>(0x6100 | (left & 0xFF))};
}

int CardApplication::child(int dir, std::uint16_t fid) const {
  for (std::size_t i = 0; i < config_.files.size(); ++i) {
    if (config_.files[i].parent == dir && config_.files[i].fid == fid) return static_cast<int>(i);
  }
  return -1;
}

int CardApplication::currentDf() const {
  return config_.files[static_cast<std::size_t>(current_)].dedicated
             ? current_
             : config_.files[static_cast<std::size_t>(current_)].parent;
}

std::vector<std::uint8_t> CardApplication::controlParameters(int file) const {
  const CardFile& f = config_.files[static_cast<std::size_t>(file)];
  std::vector<std::uint8_t> body{0x82,
                                 0x01,
                                 static_cast<std::uint8_t>(f.dedicated ? 0x38 : 0x01),
                                 0x83,
                                 0x02,
                                 static_cast<std::uint8_t>(f.fid >> 8),
                                 static_cast<std::uint8_t>(f.fid & 0xFF)};
  if (f.dedicated && !f.name.empty()) {
    body.push_back(0x84);
    body.push_back(static_cast<std::uint8_t>(f.name.size()));
    body.insert(body.end(), f.name.begin(), f.name.end());
  }
  if (!f.dedicated) {
    body.insert(body.end(), {0x80, 0x02, static_cast<std::uint8_t>(f.content.size() >> 8),
                             static_cast<std::uint8_t>(f.content.size() & 0xFF)});
  }
  std::vector<std::uint8_t> fcp{0x62, static_cast<std::uint8_t>(body.size())};
  fcp.insert(fcp.end(), body.begin(), body.end());
  return fcp;
}

ResponseApdu CardApplication::select(const CommandApdu& command) {
  if (command.p2 != 0x00 && command.p2 != 0x04 && command.p2 != 0x0C) return status(0x6A86);
  const auto& data = command.data;
  int found = -1;
  switch (command.p1) {
    case 0x00: {  // by file identifier: MF, a child or the parent of the current DF, or the DF itself
      if (data.empty()) {
        found = 0;
        break;
      }
      if (data.size() != 2) return status(0x6700);
      const std::uint16_t fid = fidAt(data, 0);
      const int dir = currentDf();
      if (fid == 0x3F00) {
        found = 0;
      } else if ((found = child(dir, fid)) < 0) {
        const int parent = config_.files[static_cast<std::size_t>(dir)].parent;
        if (config_.files[static_cast<std::size_t>(dir)].fid == fid)
          found = dir;
        else if (parent >= 0 && config_.files[static_cast<std::size_t>(parent)].fid == fid)
          found = parent;
      }
      break;
    }
    case 0x04:  // by DF name
      if (data.empty()) return status(0x6700);
      for (std::size_t i = 0; i < config_.files.size(); ++i) {
        if (config_.files[i].dedicated && config_.files[i].name == data) found = static_cast<int>(i);
      }
      break;
    case 0x08:    // path from the MF
    case 0x09: {  // path from the current DF
      if (data.empty() || data.size() % 2 != 0) return status(0x6700);
      std::size_t at = 0;
      int dir = command.p1 == 0x08 ? 0 : currentDf();
      if (command.p1 == 0x08 && fidAt(data, 0) == 0x3F00) at = 2;
      found = dir;
      for (; at < data.size() && found >= 0; at += 2) {
        if (!config_.files[static_cast<std::size_t>(found)].dedicated) {
          found = -1;
          break;
        }
        found = child(found, fidAt(data, at));
      }
      break;
    }
    default: return status(0x6A86);
  }
  if (found < 0) return status(0x6A82);
  current_ = found;
  if (command.p2 == 0x0C) return status(swOk);
  return respond(controlParameters(found), command.ne, swOk);
}

ResponseApdu CardApplication::checkedEf(int& file) const {
  file = current_;
  const CardFile& f = config_.files[static_cast<std::size_t>(file)];
  if (f.dedicated) return status(0x6986);
  if (f.needsPin && !verified_) return status(0x6982);
  return status(swOk);
}

ResponseApdu CardApplication::readBinary(const CommandApdu& command) {
  if ((command.p1 & 0x80) != 0) return status(0x6A86);  // short EF identifiers are not supported
  int file = 0;
  if (ResponseApdu check = checkedEf(file); check.sw != swOk) return check;
  if (!command.ne) return status(0x6700);
  const auto& content = config_.files[static_cast<std::size_t>(file)].content;
  const std::size_t offset = static_cast<std::size_t>((command.p1 << 8) | command.p2);
  if (offset >= content.size()) return status(0x6B00);
  const std::size_t count = std::min(*command.ne, content.size() - offset);
  std::vector<std::uint8_t> data(content.begin() + static_cast<std::ptrdiff_t>(offset),
                                 content.begin() + static_cast<std::ptrdiff_t>(offset + count));
  return ResponseApdu{std::move(data), count < *command.ne ? std::uint16_t{0x6282} : swOk};
}

ResponseApdu CardApplication::updateBinary(const CommandApdu& command) {
  if ((command.p1 & 0x80) != 0) return status(0x6A86);
  int file = 0;
  if (ResponseApdu check = checkedEf(file); check.sw != swOk) return check;
  if (command.data.empty()) return status(0x6700);
  auto& content = config_.files[static_cast<std::size_t>(file)].content;
  const std::size_t offset = static_cast<std::size_t>((command.p1 << 8) | command.p2);
  if (offset >= content.size()) return status(0x6B00);
  if (offset + command.data.size() > content.size()) return status(0x6700);
  std::copy(command.data.begin(), command.data.end(), content.begin() + static_cast<std::ptrdiff_t>(offset));
  return status(swOk);
}

ResponseApdu CardApplication::getResponse(const CommandApdu& command) {
  if (command.p1 != 0 || command.p2 != 0) return status(0x6A86);
  if (pending_.empty()) return status(0x6985);
  if (!command.ne) return status(0x6700);
  std::vector<std::uint8_t> data = std::move(pending_);
  pending_.clear();
  return respond(std::move(data), command.ne, swOk);
}

ResponseApdu CardApplication::getChallenge(const CommandApdu& command) {
  if (command.p1 != 0 || command.p2 != 0) return status(0x6A86);
  if (!command.ne) return status(0x6700);
  std::vector<std::uint8_t> data(*command.ne);
  for (auto& b : data) b = random_.nextByte();
  return ResponseApdu{std::move(data), swOk};
}

ResponseApdu CardApplication::verify(const CommandApdu& command) {
  if (command.p1 != 0x00 || (command.p2 != 0x80 && command.p2 != 0x81)) return status(0x6A86);
  if (triesLeft_ == 0) return status(0x6983);
  if (command.data.empty()) {
    return status(verified_ ? swOk : static_cast<std::uint16_t>(0x63C0 | triesLeft_));
  }
  if (command.data == config_.pin) {
    verified_ = true;
    triesLeft_ = config_.pinTries;
    return status(swOk);
  }
  verified_ = false;
  --triesLeft_;
  return status(static_cast<std::uint16_t>(0x63C0 | triesLeft_));
}

}  // namespace emulator
