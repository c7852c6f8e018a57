#include <gtest/gtest.h>

#include "bridge/ros.h"

namespace {

TEST(ConvertRosTypeNameToDdsTypeName, ConvertsEveryShapeOfName) {
  const struct {
    const char* input;
    const char* expected;
  } cases[] = {
      {"pkg/msg/Text", "pkg::msg::dds_::Text"},
      {"pkg/srv/Add", "pkg::srv::dds_::Add"},
      {"pkg/action/Move", "pkg::action::dds_::Move"},
      {"a/b/c/Name", "a::b::c::dds_::Name"},
      {"pkg/Name", "pkg::dds_::Name"},
      {"Name", "dds_::Name"},
      {"/pkg/msg/Name", "::pkg::msg::dds_::Name"},
      {"pkg//Name", "pkg::::dds_::Name"},
      {"pkg/msg/", "pkg::msg::dds_::"},
      {"", "dds_::"},
      {"/", "::dds_::"},
      {"std_msgs/msg/String", "std_msgs::msg::dds_::String"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ConvertRosTypeNameToDdsTypeName(c.input), c.expected) << "input: " << c.input;
  }
}

TEST(TypeHashEntry, FindsTheEntryAmongOthers) {
  const std::string hash = "RIHS01_" + std::string(64, 'f');
  const struct {
    std::string user_data;
    std::string entry;
  } cases[] = {
      {"typehash=" + hash + ";", "typehash=" + hash + ";"},
      {"serviceid=1.2.3;typehash=" + hash + ";", "typehash=" + hash + ";"},
      {"typehash=" + hash, "typehash=" + hash + ";"},  // the last entry, unterminated
      {"clienttypehash=" + hash + ";", ""},           // another key that ends alike
      {"typehash=garbage;", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TypeHashEntry(c.user_data), c.entry) << c.user_data;
}

TEST(ConvertRosTypeNameToDdsTypeName, ReservesRoomForUsualNames) {
  EXPECT_GE(ConvertRosTypeNameToDdsTypeName("pkg/msg/Text").capacity(), 256u);
}

}  // namespace
