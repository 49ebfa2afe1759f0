#include <gtest/gtest.h>

#include <optional>
#include <string_view>
#include <utility>

#include "serial/comm_control.h"
#include "serial/plug_faults.h"
#include "serial/port_names.h"

namespace serivane::serial {
namespace {

TEST(PortNamesTest, ComWordsAndPlugSwitches) {
  const std::pair<std::string_view, std::optional<std::string_view>> words[] = {
      {"COM4", "4"},           {"com12", "12"},     {"cOm007", "007"},      {"COM", std::nullopt},
      {"COM1x", std::nullopt}, {"4", std::nullopt}, {"CON4", std::nullopt}, {"COM-1", std::nullopt},
  };
  for (const auto& [word, digits] : words) EXPECT_EQ(ComDigits(word), digits) << word;

  EXPECT_EQ(PlugSwitches("loopback?cts=off&drop=10"), "cts=off&drop=10");
  EXPECT_EQ(PlugSwitches("loopback?"), "");
  EXPECT_EQ(PlugSwitches("loopback"), "");
  // Switches in any letter case; a count beyond its field is refused, not cut down.
  const PlugFaults most = PlugFaults::Parse("EXTRA=1024&OpenDelay=2147483647&&drop=0");
  EXPECT_EQ(most.extra, 1024);
  EXPECT_EQ(most.open_delay_ms, 2147483647);
  for (const char* query : {"extra=1025", "opendelay=2147483648", "drop=-1", "drop", "echo=yes"})
    EXPECT_THROW(PlugFaults::Parse(query), CommError) << query;
}

}  // namespace
}  // namespace serivane::serial
