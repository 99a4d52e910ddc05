#pragma once
// Shared by every test area: readable names for the rows of parameterised
// tests and for the seeds of seeded sweeps.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

namespace tav712::testing {

// A test name may hold letters, digits and underscores only: anything else
// in a row's name becomes an underscore.
inline std::string identifierFrom(std::string_view text) {
  std::string name;
  for (char c : text) {
    name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  }
  return name.empty() ? std::string("Unnamed") : name;
}

// Names each row of a case table after its `name` member:
//   INSTANTIATE_TEST_SUITE_P(Table, Suite, ValuesIn(kRows), RowName{});
struct RowName {
  template <typename Row>
  requires requires(const Row& row) { std::string_view(row.name); }
  std::string operator()(const ::testing::TestParamInfo<Row>& info) const { return identifierFrom(info.param.name); }
};

// Seeded sweeps: each seed is a test of its own, named after the seed
// ("Seed7"), so that a failing seed is named in the output and replayed alone
// with --gtest_filter=*/Seed7.
//   INSTANTIATE_TEST_SUITE_P(Sweep, Suite, seedRange(1, 32), SeedName{});
inline auto seedRange(std::uint64_t first, std::uint64_t last) {
  return ::testing::Range<std::uint64_t>(first, last + 1);
}

struct SeedName {
  std::string operator()(const ::testing::TestParamInfo<std::uint64_t>& info) const {
    return "Seed" + std::to_string(info.param);
  }
};

}  // namespace tav712::testing
