// The card's T=0 engine against hand-written exchanges: command cases 1 to 4
// with each procedure-byte pattern, 61xx and 6Cxx.

#include <gtest/gtest.h>

#include "card_feed.h"
#include "emulator/t0_engine.h"

namespace emulator::testing {
namespace {

struct T0Case {
  const char* name;
  T0AckStyle style;
  std::uint32_t nulls;
  std::vector<Exchange> exchanges;
};

const Bytes selectHeader{0x00, 0xA4, 0x00, 0x0C, 0x02};

// Selects DF 7F10 and EF 6F01 (64 bytes 00..3F) with full ACKs, then `then`.
std::vector<Exchange> afterSelectEf(const std::vector<Exchange>& then) {
  std::vector<Exchange> exchanges{
      {selectHeader, {0xA4}}, {{0x7F, 0x10}, {0x90, 0x00}}, {selectHeader, {0xA4}}, {{0x6F, 0x01}, {0x90, 0x00}}};
  exchanges.insert(exchanges.end(), then.begin(), then.end());
  return exchanges;
}

// The same selection with the first data byte asked for by a single-byte ACK
// (5B) and the rest by a full ACK (A4), then `read`.
std::vector<Exchange> afterSelectEfMixed(const Exchange& read) {
  return {{selectHeader, {0x5B}},
          {{0x7F}, {0xA4}},
          {{0x10}, {0x90, 0x00}},
          {selectHeader, {0x5B}},
          {{0x6F}, {0xA4}},
          {{0x01}, {0x90, 0x00}},
          read};
}

class T0Exchanges : public ::testing::TestWithParam<T0Case> {};

TEST_P(T0Exchanges, CardAnswersAsTheStandardSays) {
  CardApplication application;
  T0Engine engine(application, T0Options{GetParam().style, GetParam().nulls, 0});
  play(engine, GetParam().exchanges);
}

INSTANTIATE_TEST_SUITE_P(
    Table, T0Exchanges,
    ::testing::Values(
        T0Case{"Case1AfterNulls", T0AckStyle::full, 2, {{{0x00, 0x20, 0x00, 0x81, 0x00}, {0x60, 0x60, 0x63, 0xC3}}}},
        T0Case{"Case3NullsBeforeEveryProcedureByte",
               T0AckStyle::singleBytes,
               1,
               {{selectHeader, {0x60, 0x5B}}, {{0x7F}, {0x60, 0x5B}}, {{0x10}, {0x60, 0x90, 0x00}}}},
        T0Case{"Case2And3MixedAcks", T0AckStyle::mixed, 0,
               afterSelectEfMixed({{0x00, 0xB0, 0x00, 0x00, 0x03}, {0x4F, 0x00, 0xB0, 0x01, 0x02, 0x90, 0x00}})},
        T0Case{"Case2WrongLengthGets6CThenTheData", T0AckStyle::full, 0,
               afterSelectEf({{{0x00, 0xB0, 0x00, 0x3C, 0x10}, {0x6C, 0x04}},
                              {{0x00, 0xB0, 0x00, 0x3C, 0x04}, {0xB0, 0x3C, 0x3D, 0x3E, 0x3F, 0x90, 0x00}}})},
        T0Case{"Case4GetResponseTooLongGets6CAndKeepsTheData",
               T0AckStyle::full,
               0,
               {{{0x00, 0xA4, 0x00, 0x00, 0x02}, {0xA4}},
                {{0x3F, 0x00}, {0x61, 0x09}},
                {{0x00, 0xC0, 0x00, 0x00, 0x20}, {0x6C, 0x09}},
                {{0x00, 0xC0, 0x00, 0x00, 0x09},
                 {0xC0, 0x62, 0x07, 0x82, 0x01, 0x38, 0x83, 0x02, 0x3F, 0x00, 0x90, 0x00}}}},
        T0Case{
            "InvalidInsIsRefusedAfterTheHeader", T0AckStyle::full, 0, {{{0x00, 0x62, 0x00, 0x00, 0x00}, {0x6D, 0x00}}}},
        T0Case{
            "ProprietaryClassRefusedBeforeData", T0AckStyle::full, 0, {{{0x80, 0xA4, 0x00, 0x0C, 0x02}, {0x6E, 0x00}}}},
        T0Case{"FileNotFoundAfterData", T0AckStyle::full, 0, {{selectHeader, {0xA4}}, {{0x12, 0x34}, {0x6A, 0x82}}}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(T0Engine, NullBytesCarryTheirOwnDelay) {
  CardApplication application;
  T0Engine engine(application, T0Options{T0AckStyle::full, 2, 5000});
  CardOutput out;
  for (const std::uint8_t b : Bytes{0x00, 0x20, 0x00, 0x81, 0x00}) out = engine.receive(b);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0].delayEtu, 5000u);
  EXPECT_EQ(out[1].delayEtu, 5000u);
  EXPECT_EQ(out[2].delayEtu, 0u);
}

}  // namespace
}  // namespace emulator::testing
