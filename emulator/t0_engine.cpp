#include "emulator/t0_engine.h"

namespace emulator {

void T0Engine::reset() {
  header_.clear();
  incoming_.clear();
  receivingData_ = false;
  keptFor_.reset();
}

void T0Engine::procedure(CardOutput& out, std::uint8_t byte) const {
  for (std::uint32_t i = 0; i < options_.nullBytes; ++i) out.push_back(CardByte{0x60, options_.nullDelayEtu, false});
  out.push_back(CardByte{byte, 0, false});
}

void T0Engine::statusWord(CardOutput& out, std::uint16_t sw, const std::vector<std::uint8_t>& data) {
  procedure(out, static_cast<std::uint8_t>(sw >> 8));
  out.push_back(CardByte{static_cast<std::uint8_t>(sw & 0xFF), 0, false});
  if (answers_ != nullptr) answers_->record(ResponseApdu{data, sw}.bytes());
}

CardOutput T0Engine::receive(std::uint8_t byte) {
  if (receivingData_) {
    incoming_.push_back(byte);
    if (incoming_.size() == incomingExpected_) return dataComplete();
    CardOutput out;
    const std::uint8_t ins = header_[1];
    // Single-byte ACKs ask for one byte at a time; after the first byte a
    // mixed card asks for the rest at once.
    if (options_.ackStyle == T0AckStyle::singleBytes) procedure(out, static_cast<std::uint8_t>(ins ^ 0xFF));
    if (options_.ackStyle == T0AckStyle::mixed && incoming_.size() == 1) procedure(out, ins);
    return out;
  }
  header_.push_back(byte);
  if (header_.size() < 5) return {};
  return headerComplete();
}

CardOutput T0Engine::headerComplete() {
  CardOutput out;
  const std::uint8_t cla = header_[0], ins = header_[1], p3 = header_[4];
  // INS values 6X and 9X would be read as procedure bytes (ISO/IEC 7816-3, 10.3.2).
  if ((ins & 0xF0) == 0x60 || (ins & 0xF0) == 0x90) {
    statusWord(out, 0x6D00);
    header_.clear();
    return out;
  }
  if (CardApplication::commandCarriesData(ins)) {
    if (p3 == 0 || (cla & 0x80) != 0) {
      // No data to take, or a class the card refuses before any transfer.
      incoming_.clear();
      return dataComplete();
    }
    incoming_.clear();
    incomingExpected_ = p3;
    receivingData_ = true;
    procedure(out, options_.ackStyle == T0AckStyle::full ? ins : static_cast<std::uint8_t>(ins ^ 0xFF));
    return out;
  }
  const std::array<std::uint8_t, 4> command{header_[0], header_[1], header_[2], header_[3]};
  const std::size_t ne = p3 == 0 ? 256 : p3;
  ResponseApdu response;
  if (keptFor_ && *keptFor_ == command && kept_.data.size() == ne) {
    response = kept_;
    // The repeated command asks for exactly what is there.
    if (response.sw == 0x6282) response.sw = 0x9000;
  } else {
    response = application_.process(CommandApdu{cla, ins, header_[2], header_[3], {}, ne});
  }
  keptFor_.reset();
  if (!response.data.empty() && response.data.size() != ne) {
    keptFor_ = command;
    kept_ = response;
    statusWord(out, static_cast<std::uint16_t>(0x6C00 | (response.data.size() & 0xFF)));
  } else {
    out = sendResponse(response);
  }
  header_.clear();
  return out;
}

CardOutput T0Engine::sendResponse(const ResponseApdu& response) {
  CardOutput out;
  const std::uint8_t ins = header_[1];
  const auto& data = response.data;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const bool single =
        options_.ackStyle == T0AckStyle::singleBytes || (options_.ackStyle == T0AckStyle::mixed && i == 0);
    if (single) {
      procedure(out, static_cast<std::uint8_t>(ins ^ 0xFF));
    } else if (i == 0 || (options_.ackStyle == T0AckStyle::mixed && i == 1)) {
      procedure(out, ins);
    }
    out.push_back(CardByte{data[i], 0, false});
  }
  statusWord(out, response.sw, response.data);
  return out;
}

CardOutput T0Engine::dataComplete() {
  receivingData_ = false;
  const ResponseApdu response =
      application_.process(CommandApdu{header_[0], header_[1], header_[2], header_[3], incoming_, std::nullopt});
  keptFor_.reset();
  incoming_.clear();
  CardOutput out;
  statusWord(out, response.sw);
  header_.clear();
  return out;
}

}  // namespace emulator
