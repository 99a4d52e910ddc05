// The answers-to-reset the emulator's README gives for its card profiles are
// the ones the profiles send: the table is read from the README itself, so a
// changed profile or a mistyped row fails here rather than misleading people.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "emulator/card_profile.h"

namespace emulator {
namespace {

std::string hexText(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char item[4];
  for (const std::uint8_t b : bytes) {
    std::snprintf(item, sizeof item, "%02X", b);
    text += (text.empty() ? "" : " ") + std::string(item);
  }
  return text;
}

// The rows of the profile table: "| `name` ... | ATR | kind |" after the
// header "| profile | ATR | kind |", up to the first line that is no row.
std::map<std::string, std::string> documentedAtrs(std::istream& readme) {
  std::map<std::string, std::string> atrs;
  std::string line;
  bool inTable = false;
  while (std::getline(readme, line)) {
    if (line.rfind("| profile | ATR |", 0) == 0) {
      inTable = true;
      continue;
    }
    if (!inTable) continue;
    if (line.rfind("|---", 0) == 0) continue;
    if (line.rfind("| `", 0) != 0) break;
    std::vector<std::string> cells;
    std::stringstream row(line.substr(1));
    for (std::string cell; std::getline(row, cell, '|');) cells.push_back(cell);
    if (cells.size() < 2) break;
    const auto nameStart = cells[0].find('`') + 1;
    const std::string name = cells[0].substr(nameStart, cells[0].find('`', nameStart) - nameStart);
    std::string atr = cells[1];
    atr.erase(0, atr.find_first_not_of(' '));
    atr.erase(atr.find_last_not_of(' ') + 1);
    atrs[name] = atr;
  }
  return atrs;
}

TEST(DocumentedAtrs, EveryProfileIsInTheReadmeWithTheAtrItSends) {
  std::ifstream readme(EMULATOR_README);
  ASSERT_TRUE(readme) << "cannot read " << EMULATOR_README;
  const auto documented = documentedAtrs(readme);
  for (const auto& name : cardProfileNames()) {
    const auto row = documented.find(name);
    ASSERT_NE(row, documented.end()) << "profile " << name << " is missing from the README's table";
    EXPECT_EQ(row->second, hexText(cardProfile(name).coldAtr)) << "profile " << name;
  }
  EXPECT_EQ(documented.size(), cardProfileNames().size()) << "the README lists a profile that does not exist";
}

}  // namespace
}  // namespace emulator
