// The library's answer-to-reset analysis (SmartcardUpdateCardCapabilities)
// on any bytes, for any reader clock and data rate and any PTS proposal
// type. An accepted ATR must be well formed by an independent walk of its
// structure, and every parameter the library derived from it must lie in
// its range: the driver programs the reader and times the card with them.
//
// Input: one byte choosing the reader and the PTS type, then the ATR.
#include <smclib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "fuzz_check.h"

namespace {

// Readers the library may serve: clocks in kHz and maximum data rates.
constexpr std::array<ULONG, 4> kClocksKhz = {3580, 4000, 1000, 20000};
constexpr std::array<ULONG, 4> kDataRatesMax = {9600, 115200, 0, 500000};

// The ATR's structure, walked as ISO/IEC 7816-3 8.2 draws it: what the
// library reports must agree with it.
struct Structure {
  std::vector<std::uint8_t> historical;
  std::optional<std::uint8_t> firstT1Ta, firstT1Tb, firstT1Tc;
  bool tckDue = false;
  bool tckPresent = false;
};

std::optional<Structure> walk(std::span<const std::uint8_t> atr) {
  if (atr.size() < 2 || (atr[0] != 0x3B && atr[0] != 0x3F)) return std::nullopt;
  Structure structure;
  std::size_t next = 2;
  std::uint8_t y = atr[1] >> 4;
  int protocol = 0;  // protocol of the current group's bytes (group 1: global)
  for (int group = 1; y != 0; ++group) {
    std::optional<std::uint8_t> bytes[4];
    for (int bit = 0; bit < 4; ++bit) {
      if (!(y & (1 << bit))) continue;
      if (next >= atr.size()) return std::nullopt;
      bytes[bit] = atr[next++];
    }
    if (group >= 3 && protocol == 1) {
      if (!structure.firstT1Ta) structure.firstT1Ta = bytes[0];
      if (!structure.firstT1Tb) structure.firstT1Tb = bytes[1];
      if (!structure.firstT1Tc) structure.firstT1Tc = bytes[2];
    }
    if (!bytes[3]) break;
    protocol = *bytes[3] & 0x0F;
    if (protocol != 0) structure.tckDue = true;
    y = *bytes[3] >> 4;
  }
  const std::size_t historicalLength = atr[1] & 0x0F;
  if (next + historicalLength > atr.size()) return std::nullopt;
  structure.historical.assign(atr.begin() + static_cast<std::ptrdiff_t>(next),
                              atr.begin() + static_cast<std::ptrdiff_t>(next + historicalLength));
  next += historicalLength;
  const std::size_t rest = atr.size() - next;
  if (rest > (structure.tckDue ? 1u : 0u)) return std::nullopt;
  structure.tckPresent = rest == 1;
  return structure;
}

void checkAccepted(const SMARTCARD_EXTENSION& extension, std::span<const std::uint8_t> atr) {
  const auto& card = extension.CardCapabilities;
  FUZZ_CHECK(atr.size() <= SCARD_ATR_LENGTH);
  const auto structure = walk(atr);
  FUZZ_CHECK(structure.has_value());
  if (structure->tckPresent) {
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
    FUZZ_CHECK(check == 0);
  }
  FUZZ_CHECK((card.InversConvention != 0) == (atr[0] == 0x3F));
  FUZZ_CHECK(card.HistoricalChars.Length == structure->historical.size());
  FUZZ_CHECK(std::equal(structure->historical.begin(), structure->historical.end(), card.HistoricalChars.Buffer));

  // The factors in force and the proposed ones are defined table entries.
  FUZZ_CHECK(card.Fl < 16 && card.Dl < 16);
  FUZZ_CHECK(card.ClockRateConversion[card.Fl].F != 0 && card.BitRateAdjustment[card.Dl].DNumerator != 0);
  const auto& pts = card.PtsData;
  FUZZ_CHECK(pts.Fl < 16 && pts.Dl < 16);
  FUZZ_CHECK(card.ClockRateConversion[pts.Fl].F != 0 && card.BitRateAdjustment[pts.Dl].DNumerator != 0);
  FUZZ_CHECK(pts.Type == PTS_TYPE_DEFAULT || pts.Type == PTS_TYPE_OPTIMAL || pts.Type == PTS_TYPE_USER);
  if (pts.Type == PTS_TYPE_OPTIMAL) {
    // An optimal proposal stays within the card's clock limit and the
    // reader's data rate (5 % tolerance for rounded nominal rates).
    const auto& reader = extension.ReaderCapabilities;
    FUZZ_CHECK(std::uint64_t{reader.CLKFrequency.Max} * 1000 <= card.ClockRateConversion[pts.Fl].fs);
    FUZZ_CHECK(reader.DataRate.Max == 0 ||
               std::uint64_t{pts.DataRate} * 100 <= std::uint64_t{reader.DataRate.Max} * 105);
  }

  // T=1 parameters: the first TA/TB/TC for T=1, or the defaults.
  const std::uint8_t ifsc = structure->firstT1Ta.value_or(32);
  FUZZ_CHECK(card.T1.IFSC == ifsc || (ifsc == 0xFF && card.T1.IFSC == 254));
  FUZZ_CHECK(card.T1.IFSC >= 1 && card.T1.IFSC <= 254);
  FUZZ_CHECK(card.T1.BWI <= 9 && card.T1.CWI <= 15);
  FUZZ_CHECK(card.T1.EDC == (structure->firstT1Tc.value_or(0) & 1 ? T1_CRC_CHECK : 0));
  // A reserved BWI (10 to 15) is read as the longest defined one.
  if (structure->firstT1Tb) FUZZ_CHECK(card.T1.BWI == std::min(*structure->firstT1Tb >> 4, 9));
  FUZZ_CHECK(extension.T1.IFSC == card.T1.IFSC && extension.T1.IFSD == 32 && extension.T1.State == T1_INIT);

  // The card offers a protocol the reader speaks, and no other.
  FUZZ_CHECK(card.Protocol.Supported != 0);
  FUZZ_CHECK((card.Protocol.Supported & ~ULONG{SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1}) == 0);
  if (card.SpecificMode) {
    FUZZ_CHECK(card.Protocol.Selected == SCARD_PROTOCOL_T0 || card.Protocol.Selected == SCARD_PROTOCOL_T1);
    FUZZ_CHECK((card.Protocol.Supported & card.Protocol.Selected) != 0);
  }

  // The waiting times exist for a clocked reader.
  FUZZ_CHECK(card.etu > 0 && card.T0.WT > 0 && card.T1.CWT > card.etu && card.T1.BWT > card.etu);
  FUZZ_CHECK(card.GT >= 12 * card.etu);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint8_t setup = input.byte();
  const std::uint8_t user = input.byte();
  const auto atr = input.take(sizeof SCARD_CARD_CAPABILITIES{}.ATR.Buffer);

  SMARTCARD_EXTENSION extension{};
  auto& reader = extension.ReaderCapabilities;
  reader.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  reader.CLKFrequency.Default = reader.CLKFrequency.Max = kClocksKhz[setup & 3];
  reader.DataRate.Default = reader.DataRate.Max = kDataRatesMax[(setup >> 2) & 3];
  reader.MaxIFSD = 254;
  auto& card = extension.CardCapabilities;
  card.PtsData.Type = static_cast<UCHAR>((setup >> 4) & 3);
  card.PtsData.Fl = user >> 4;
  card.PtsData.Dl = user & 0x0F;
  std::copy(atr.begin(), atr.end(), card.ATR.Buffer);
  card.ATR.Length = static_cast<UCHAR>(atr.size());

  const NTSTATUS status = SmartcardUpdateCardCapabilities(&extension);
  FUZZ_CHECK(status == STATUS_SUCCESS || status == STATUS_UNRECOGNIZED_MEDIA || status == STATUS_INVALID_PARAMETER);
  if (status == STATUS_SUCCESS) checkAccepted(extension, atr);
  return 0;
}
