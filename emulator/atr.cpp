#include "emulator/atr.h"

#include <cstdio>

#include "emulator/iso7816.h"

namespace emulator {
namespace {

std::string hexByte(std::uint8_t b) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", b);
  return text;
}

// Fills the announced parameters from the interface bytes.
void deriveParameters(AtrInfo& atr) {
  const auto& g = atr.groups;
  if (!g.empty()) {
    if (g[0].ta) atr.fiDi = *g[0].ta;
    if (g[0].tc) atr.extraGuardTime = *g[0].tc;
  }
  atr.firstProtocol = (!g.empty() && g[0].td) ? static_cast<std::uint8_t>(*g[0].td & 0x0F) : 0;
  atr.protocols = static_cast<std::uint16_t>(1u << atr.firstProtocol);
  for (const auto& group : g) {
    if (group.td) atr.protocols = static_cast<std::uint16_t>(atr.protocols | (1u << (*group.td & 0x0F)));
  }
  if (g.size() > 1) {
    if (g[1].ta) {
      atr.specificMode = true;
      atr.specificProtocol = static_cast<std::uint8_t>(*g[1].ta & 0x0F);
      atr.specificImplicit = (*g[1].ta & 0x10) != 0;
    }
    if (g[1].tc) atr.workWaitingInteger = *g[1].tc;
  }
  // The first group from the third on whose TD before it names T=1 carries
  // IFSC, CWI/BWI and the EDC (ISO/IEC 7816-3, 11.4).
  for (std::size_t i = 2; i < g.size(); ++i) {
    if (g[i - 1].td && (*g[i - 1].td & 0x0F) == 1) {
      if (g[i].ta) atr.ifsc = *g[i].ta;
      if (g[i].tb) {
        atr.characterWaitingInteger = static_cast<std::uint8_t>(*g[i].tb & 0x0F);
        atr.blockWaitingInteger = static_cast<std::uint8_t>(*g[i].tb >> 4);
      }
      if (g[i].tc) atr.crc = (*g[i].tc & 0x01) != 0;
      break;
    }
  }
}

}  // namespace

AtrInfo parseAtr(std::span<const std::uint8_t> bytes) {
  AtrInfo atr;
  if (bytes.empty()) return atr;
  atr.ts = bytes[0];
  atr.length = 1;
  if (atr.ts == 0x3F || atr.ts == 0x03) {
    atr.inverseConvention = true;
  } else if (atr.ts != 0x3B) {
    atr.error = "TS " + hexByte(atr.ts) + " is neither 0x3B nor 0x3F";
    return atr;
  }
  std::size_t at = 1;
  if (at >= bytes.size()) return atr;
  atr.t0 = bytes[at++];
  atr.length = at;
  std::uint8_t indicator = static_cast<std::uint8_t>(atr.t0 >> 4);
  const std::size_t historicalCount = atr.t0 & 0x0F;
  while (indicator != 0) {
    AtrInterfaceGroup group;
    std::optional<std::uint8_t>* slots[4] = {&group.ta, &group.tb, &group.tc, &group.td};
    for (int k = 0; k < 4; ++k) {
      if ((indicator & (1u << k)) == 0) continue;
      if (at >= bytes.size()) {
        atr.groups.push_back(group);
        deriveParameters(atr);
        return atr;
      }
      *slots[k] = bytes[at++];
      atr.length = at;
    }
    atr.groups.push_back(group);
    if (atr.groups.size() > 15) {
      atr.error = "more interface byte groups than an ATR of 33 bytes can hold";
      return atr;
    }
    if (!group.td) break;
    indicator = static_cast<std::uint8_t>(*group.td >> 4);
    if ((*group.td & 0x0F) != 0) atr.tckExpected = true;
  }
  deriveParameters(atr);
  for (std::size_t i = 0; i < historicalCount; ++i) {
    if (at >= bytes.size()) return atr;
    atr.historical.push_back(bytes[at++]);
    atr.length = at;
  }
  if (atr.tckExpected) {
    if (at >= bytes.size()) return atr;
    atr.tck = bytes[at++];
    atr.length = at;
    atr.tckValid = longitudinalRedundancy(bytes.subspan(1, at - 1)) == 0;
  }
  atr.complete = true;
  if (atr.length > 33) atr.error = "longer than 33 bytes";
  return atr;
}

std::vector<std::string> describeAtr(const AtrInfo& atr) {
  std::vector<std::string> lines;
  if (!atr.error.empty()) {
    lines.push_back("invalid ATR: " + atr.error);
    return lines;
  }
  lines.push_back(std::string(atr.inverseConvention ? "inverse" : "direct") + " convention, " +
                  std::to_string(atr.historical.size()) + " historical bytes" + (atr.complete ? "" : " (incomplete)"));
  const std::uint8_t fi = static_cast<std::uint8_t>(atr.fiDi >> 4);
  const std::uint8_t di = static_cast<std::uint8_t>(atr.fiDi & 0x0F);
  lines.push_back("TA1 " + hexByte(atr.fiDi) + ": Fi=" + std::to_string(fi) +
                  " (F=" + std::to_string(clockRateFactor(fi)) + ") Di=" + std::to_string(di) +
                  " (D=" + std::to_string(bitRateFactor(di)) + ")" +
                  (atr.groups.empty() || !atr.groups[0].ta ? " default" : ""));
  if (atr.extraGuardTime != 0) lines.push_back("TC1: extra guard time N=" + std::to_string(atr.extraGuardTime));
  std::string protocols = "protocols:";
  for (std::uint8_t t = 0; t < 16; ++t) {
    if (atr.offers(t)) protocols += " T=" + std::to_string(t);
  }
  lines.push_back(protocols);
  if (atr.specificMode) {
    lines.push_back("TA2: specific mode T=" + std::to_string(atr.specificProtocol) +
                    (atr.specificImplicit ? ", implicit parameters" : ", parameters of TA1"));
  }
  if (atr.offers(0)) lines.push_back("T=0: WI=" + std::to_string(atr.workWaitingInteger));
  if (atr.offers(1)) {
    lines.push_back("T=1: IFSC=" + std::to_string(atr.ifsc) + " CWI=" + std::to_string(atr.characterWaitingInteger) +
                    " BWI=" + std::to_string(atr.blockWaitingInteger) + " EDC=" + (atr.crc ? "CRC" : "LRC"));
  }
  if (atr.tckExpected) {
    lines.push_back(atr.tck ? ("TCK " + hexByte(*atr.tck) + (atr.tckValid ? " ok" : " wrong")) : "TCK missing");
  }
  return lines;
}

std::vector<std::uint8_t> withTck(std::vector<std::uint8_t> atrWithoutTck) {
  const std::uint8_t tck =
      atrWithoutTck.size() > 1 ? longitudinalRedundancy(std::span(atrWithoutTck).subspan(1)) : std::uint8_t{0};
  atrWithoutTck.push_back(tck);
  return atrWithoutTck;
}

}  // namespace emulator
