// Answer-to-reset analysis and SmartcardUpdateCardCapabilities.
//
//   TS T0 {TAi TBi TCi TDi}... T1..TK [TCK]
//
// T0 and every TDi announce, in their high nibble, which of TA, TB, TC, TD
// follow in the next group; the low nibble of T0 counts the historical bytes
// and that of TDi names the protocol the next group belongs to. TCK, the XOR
// check byte, is present as soon as a protocol other than T=0 is offered
// (ISO/IEC 7816-3, 8.2.5).
#include "atr.h"

#include "t1_block.h"
#include "t1_engine.h"

#include <algorithm>

namespace smclib {

// ISO/IEC 7816-3:2006 table 7 (Fi: F, fmax in Hz) and table 8 (Di: D).
CLOCK_RATE_CONVERSION clockRateConversion[16] = {{372, 4000000},   {372, 5000000},   {558, 6000000},   {744, 8000000},
                                                 {1116, 12000000}, {1488, 16000000}, {1860, 20000000}, {0, 0},
                                                 {0, 0},           {512, 5000000},   {768, 7500000},   {1024, 10000000},
                                                 {1536, 15000000}, {2048, 20000000}, {0, 0},           {0, 0}};

BIT_RATE_ADJUSTMENT bitRateAdjustment[16] = {{0, 0},  {1, 1},  {2, 1}, {4, 1}, {8, 1}, {16, 1}, {32, 1}, {64, 1},
                                             {12, 1}, {20, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 0},  {0, 0},  {0, 0}};

bool factorsDefined(std::uint8_t fl, std::uint8_t dl) {
  return fl < 16 && dl < 16 && clockRateConversion[fl].F != 0 && bitRateAdjustment[dl].DNumerator != 0;
}

std::uint32_t etuMicroseconds(std::uint8_t fl, std::uint8_t dl, std::uint32_t clockKhz) {
  if (!factorsDefined(fl, dl) || clockKhz == 0) return 0;
  std::uint64_t numerator = std::uint64_t{clockRateConversion[fl].F} * bitRateAdjustment[dl].DDivisor * 1000;
  std::uint64_t denominator = std::uint64_t{bitRateAdjustment[dl].DNumerator} * clockKhz;
  // An ETU shorter than a microsecond (a fast clock, a high D) counts as one,
  // so that no waiting time derived from it comes out as zero.
  return static_cast<std::uint32_t>(std::max<std::uint64_t>(numerator / denominator, 1));
}

std::optional<AtrInfo> parseAtr(std::span<const std::uint8_t> atr) {
  if (atr.size() < 2 || atr.size() > SCARD_ATR_LENGTH) return std::nullopt;
  AtrInfo info;
  if (atr[0] == 0x3F) {
    info.inverseConvention = true;
  } else if (atr[0] != 0x3B) {
    return std::nullopt;
  }
  std::size_t index = 1;
  std::uint8_t indicator = atr[index] >> 4;
  info.historicalLength = atr[index] & 0x0F;
  ++index;

  bool offersT0 = false;
  bool offersOther = false;
  bool t1TaSeen = false, t1TbSeen = false, t1TcSeen = false;
  std::uint8_t groupProtocol = 0;  // protocol the current group's bytes belong to
  bool anyTd = false;
  for (int group = 1;; ++group) {
    const auto take = [&](std::uint8_t bit) -> std::optional<std::uint8_t> {
      if (!(indicator & bit)) return std::nullopt;
      if (index >= atr.size()) return std::nullopt;
      return atr[index++];
    };
    const std::size_t needed = static_cast<std::size_t>(__builtin_popcount(indicator));
    if (index + needed > atr.size()) return std::nullopt;
    auto ta = take(0x1), tb = take(0x2), tc = take(0x4), td = take(0x8);

    if (group == 1) {
      if (ta) {
        info.ta1Present = true;
        info.fi = *ta >> 4;
        info.di = *ta & 0x0F;
      }
      if (tb) {
        info.ii = (*tb >> 5) & 0x03;
        info.pi = *tb & 0x1F;
      }
      if (tc) info.n = *tc;
    } else if (group == 2) {
      if (ta) {
        info.specificMode = true;
        info.specificProtocol = *ta & 0x0F;
        info.specificImplicit = (*ta & 0x10) != 0;
      }
      if (tc) info.wi = *tc == 0 ? kDefaultWi : *tc;
    }
    if (group >= 2 && groupProtocol == 1) {
      // The first TA, TB and TC that belong to T=1 (ISO/IEC 7816-3, 11.4).
      if (ta && !t1TaSeen && group >= 3) {
        t1TaSeen = true;
        // 0xFF is reserved, yet cards in circulation announce it and other
        // stacks run them with the largest valid size.
        if (*ta == 0x00) return std::nullopt;
        info.ifsc = *ta == 0xFF ? t1::kMaxIfs : *ta;
      }
      if (tb && !t1TbSeen && group >= 3) {
        t1TbSeen = true;
        info.cwi = *tb & 0x0F;
        info.bwi = *tb >> 4;
        // A reserved BWI (10 to 15) asks for longer than any defined
        // waiting time: the longest defined one is the closest safe reading.
        if (info.bwi > kMaxBwi) info.bwi = kMaxBwi;
      }
      if (tc && !t1TcSeen && group >= 3) {
        t1TcSeen = true;
        info.crc = (*tc & 0x01) != 0;
      }
    }
    if (!td) break;
    anyTd = true;
    groupProtocol = *td & 0x0F;
    if (groupProtocol == 0) offersT0 = true;
    if (groupProtocol == 1) info.protocols |= SCARD_PROTOCOL_T1;
    if (groupProtocol != 0) offersOther = true;
    indicator = *td >> 4;
    if (indicator == 0) break;
  }
  if (!anyTd) offersT0 = true;
  if (offersT0) info.protocols |= SCARD_PROTOCOL_T0;

  if (index + info.historicalLength > atr.size()) return std::nullopt;
  for (std::uint8_t i = 0; i < info.historicalLength; ++i) info.historical[i] = atr[index++];

  const std::size_t rest = atr.size() - index;
  if (offersOther) {
    // TCK is due; a card whose TCK never came is accepted without it, as the
    // reader delivered the ATR (the driver stops reading when it times out).
    if (rest > 1) return std::nullopt;
    if (rest == 1) {
      std::uint8_t check = 0;
      for (std::size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
      if (check != 0) return std::nullopt;
      info.tckPresent = true;
    }
  } else if (rest != 0) {
    return std::nullopt;
  }
  if (info.ta1Present && !factorsDefined(info.fi, info.di)) {
    // Reserved factors in TA1: a card that must run at them (specific mode,
    // factors from TA1) cannot be served; any other card runs at Fd and Dd
    // until a PTS, and nothing faster is proposed to it.
    if (info.specificMode && !info.specificImplicit) return std::nullopt;
    info.ta1Present = false;
    info.fi = kDefaultFl;
    info.di = kDefaultDl;
  }
  if (info.specificMode && info.specificProtocol == 1) info.protocols |= SCARD_PROTOCOL_T1;
  if (info.specificMode && info.specificProtocol == 0) info.protocols |= SCARD_PROTOCOL_T0;
  // A card that offers neither T=0 nor T=1 (only T=2 to T=14) cannot be
  // spoken to at all: it is refused as a card that gave no usable ATR.
  if (info.protocols == 0) return std::nullopt;
  return info;
}

namespace {

std::uint32_t dataRate(std::uint8_t fl, std::uint8_t dl, std::uint32_t clockKhz) {
  std::uint64_t rate = std::uint64_t{clockKhz} * 1000 * bitRateAdjustment[dl].DNumerator /
                       (std::uint64_t{clockRateConversion[fl].F} * bitRateAdjustment[dl].DDivisor);
  return static_cast<std::uint32_t>(rate);
}

// Whether the reader can run the card at these factors: the card's clock
// limit holds and the data rate stays within the reader's maximum (5 %
// tolerance, since nominal rates are rounded: 3.58 MHz / 372 is 9623 bit/s).
bool readerSupports(const SCARD_READER_CAPABILITIES& reader, std::uint8_t fl, std::uint8_t dl) {
  if (!factorsDefined(fl, dl)) return false;
  const std::uint32_t clockKhz = reader.CLKFrequency.Max;
  if (std::uint64_t{clockKhz} * 1000 > clockRateConversion[fl].fs) return false;
  if (reader.DataRate.Max == 0) return fl == kDefaultFl && dl == kDefaultDl;
  return std::uint64_t{dataRate(fl, dl, clockKhz)} * 100 <= std::uint64_t{reader.DataRate.Max} * 105;
}

// The fastest factors the reader supports among the default ones and those
// the card offers in TA1 (its F with any D up to its own).
void chooseOptimal(const SCARD_READER_CAPABILITIES& reader, const AtrInfo& info, std::uint8_t& fl, std::uint8_t& dl) {
  fl = kDefaultFl;
  dl = kDefaultDl;
  if (!info.ta1Present) return;
  const std::uint32_t clockKhz = reader.CLKFrequency.Max;
  std::uint32_t bestRate = dataRate(kDefaultFl, kDefaultDl, clockKhz);
  const std::uint32_t cardD = bitRateAdjustment[info.di].DNumerator;
  for (std::uint8_t candidate = 1; candidate < 16; ++candidate) {
    const std::uint32_t d = bitRateAdjustment[candidate].DNumerator;
    if (d == 0 || d > cardD || !readerSupports(reader, info.fi, candidate)) continue;
    const std::uint32_t rate = dataRate(info.fi, candidate, clockKhz);
    if (rate > bestRate) {
      bestRate = rate;
      fl = info.fi;
      dl = candidate;
    }
  }
}

}  // namespace

// Recomputes the waiting times of CardCapabilities for the factors in use.
void updateWaitingTimes(SMARTCARD_EXTENSION& extension) {
  auto& card = extension.CardCapabilities;
  const std::uint32_t clockKhz = extension.ReaderCapabilities.CLKFrequency.Max;
  const std::uint32_t etu = etuMicroseconds(card.Fl, card.Dl, clockKhz);
  card.etu = etu;
  const std::uint32_t extra = card.N == 255 ? 0 : card.N;
  card.GT = (12 + extra) * etu;
  if (clockKhz == 0 || !factorsDefined(card.Fl, card.Dl)) return;
  const std::uint64_t f = clockRateConversion[card.Fl].F;
  const std::uint8_t wi = card.T0.WI == 0 ? kDefaultWi : card.T0.WI;
  // WT = WI x 960 x Fi / f (ISO/IEC 7816-3, 10.2).
  card.T0.WT = static_cast<ULONG>(std::uint64_t{wi} * 960 * f * 1000 / clockKhz);
  const std::uint8_t cwi = card.T1.CWI;
  const std::uint8_t bwi = card.T1.BWI;
  card.T1.CWT = static_cast<ULONG>((11 + (std::uint64_t{1} << cwi)) * etu);
  card.T1.BWT = static_cast<ULONG>(11 * std::uint64_t{etu} + (std::uint64_t{1} << bwi) * 960 * 372 * 1000 / clockKhz);
  card.T1.BGT = 22 * etu;
}

}  // namespace smclib

extern "C" NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension) {
  using namespace smclib;
  auto& extension = *SmartcardExtension;
  auto& card = extension.CardCapabilities;
  card.ClockRateConversion = clockRateConversion;
  card.BitRateAdjustment = bitRateAdjustment;
  const std::size_t length = card.ATR.Length <= sizeof card.ATR.Buffer ? card.ATR.Length : 0;
  const auto info = parseAtr(std::span<const std::uint8_t>(card.ATR.Buffer, length));
  if (!info) return STATUS_UNRECOGNIZED_MEDIA;

  card.InversConvention = info->inverseConvention;
  card.HistoricalChars.Length = info->historicalLength;
  RtlZeroMemory(card.HistoricalChars.Buffer, sizeof card.HistoricalChars.Buffer);
  for (std::uint8_t i = 0; i < info->historicalLength; ++i) card.HistoricalChars.Buffer[i] = info->historical[i];
  card.II = info->ii;
  card.P = info->pi;
  card.N = info->n;
  card.T0.WI = info->wi;
  card.T1.IFSC = info->ifsc;
  card.T1.CWI = info->cwi;
  card.T1.BWI = info->bwi;
  card.T1.EDC = info->crc ? T1_CRC_CHECK : 0;
  card.Protocol.Supported = info->protocols;
  card.SpecificMode = info->specificMode ? 1 : 0;

  // Until a protocol and parameter selection the card runs at Fd and Dd;
  // a card in a specific mode runs at TA1's factors unless TA2 says implicit.
  card.Fl = kDefaultFl;
  card.Dl = kDefaultDl;
  if (info->specificMode) {
    if (!info->specificImplicit) {
      card.Fl = info->fi;
      card.Dl = info->di;
    }
    const std::uint32_t protocol = info->specificProtocol == 1   ? SCARD_PROTOCOL_T1
                                   : info->specificProtocol == 0 ? SCARD_PROTOCOL_T0
                                                                 : 0;
    if (protocol == 0) return STATUS_UNRECOGNIZED_MEDIA;
    card.Protocol.Selected = protocol;
  }

  auto& pts = card.PtsData;
  switch (pts.Type) {
    case PTS_TYPE_OPTIMAL:
      chooseOptimal(extension.ReaderCapabilities, *info, pts.Fl, pts.Dl);
      if (pts.Fl == kDefaultFl && pts.Dl == kDefaultDl) pts.Type = PTS_TYPE_DEFAULT;
      break;
    case PTS_TYPE_USER:
      if (!factorsDefined(pts.Fl, pts.Dl)) return STATUS_INVALID_PARAMETER;
      break;
    default:
      pts.Type = PTS_TYPE_DEFAULT;
      pts.Fl = kDefaultFl;
      pts.Dl = kDefaultDl;
      break;
  }
  pts.CLKFrequency = extension.ReaderCapabilities.CLKFrequency.Max;
  pts.DataRate = dataRate(pts.Fl, pts.Dl, pts.CLKFrequency);
  pts.StopBits = card.N == 255 ? 0 : card.N;

  updateWaitingTimes(extension);
  t1ResetProtocol(extension);
  return STATUS_SUCCESS;
}
