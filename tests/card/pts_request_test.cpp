// The PTS request bytes for the proposals of ISO/IEC 7816-3 clause 9.

#include <gtest/gtest.h>

#include "card/CardServices.h"

#include <array>

namespace {

struct PtsCase {
  ULONG protocol;
  UCHAR fl;
  UCHAR dl;
  std::array<UCHAR, 4> bytes;
};

TEST(PtsRequest, CarriesProtocolFactorsAndCheckCharacter) {
  const PtsCase cases[] = {
      {SCARD_PROTOCOL_T0, 1, 1, {0xFF, 0x10, 0x11, 0xFE}},
      {SCARD_PROTOCOL_T1, 9, 4, {0xFF, 0x11, 0x94, 0x7A}},
      {SCARD_PROTOCOL_T0, 0, 0, {0xFF, 0x10, 0x00, 0xEF}},
  };
  for (const PtsCase& c : cases) {
    std::array<UCHAR, PTS_REQUEST_LENGTH> request{};
    BuildPtsRequest(c.protocol, c.fl, c.dl, request.data());
    EXPECT_EQ(request, c.bytes);
  }
}

}  // namespace
