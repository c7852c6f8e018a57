#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "tests/config/loader_run.h"
#include "tests/support/temp_dir.h"

namespace {

using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::IsEmpty;
using ::testing::Matcher;

const char kCountMessage[] = "Failed to get count of rule from YAML";
constexpr bool T = true;
constexpr bool F = false;

std::string Fixture(const std::string& name) {
  return CORVANE_SOURCE_DIR "/tests/config/fixtures/" + name;
}

const auto R = [](RuleType type, const std::string& topic, const std::string& data_type,
                  int32_t src, bool src_reliable, int32_t dst, bool dst_reliable) {
  return Describe(type, topic, data_type, src, src_reliable, dst, dst_reliable);
};

struct Expected {
  bool present = true;
  std::vector<std::string> rules;
  std::vector<std::string> messages;
};

// Loads `path` at log level 4, where each message is written once in order,
// and at level 5, where nothing is written; the result is the same at both.
void ExpectLoad(const std::string& path, const Expected& expected) {
  std::vector<Matcher<const std::string&>> lines;
  for (const std::string& message : expected.messages) lines.push_back(EndsWith(message));
  for (const int level : {4, 5}) {
    SCOPED_TRACE(path + " at log level " + std::to_string(level));
    const LoaderRun run = RunLoader(path, level);
    ASSERT_TRUE(run.exited_cleanly);
    EXPECT_EQ(run.present, expected.present);
    EXPECT_EQ(run.rules, expected.rules);
    if (level == 4) {
      EXPECT_THAT(run.log_lines, ElementsAreArray(lines));
    } else {
      EXPECT_THAT(run.log_lines, IsEmpty());
    }
  }
}

TEST(ConfigLoader, Fixtures) {
  const std::string S = R(RuleType::kRosService, "/add", "p/srv/Add", 1, T, 0, F);
  const std::string A = R(RuleType::kRosAction, "/move", "p/action/Move", 3, F, 4, T);
  const std::string D = R(RuleType::kDds, "same", "Same", 5, T, 6, T);
  const std::vector<std::pair<const char*, Expected>> cases = {
      {"sample.yaml",
       {T,
        {R(RuleType::kDds, "sensor_state", "SensorState", 0, T, 1, T),
         R(RuleType::kRosService, "/add_two_ints", "example_interfaces/srv/AddTwoInts", 1, T, 0,
           T)},
        {}}},
      {"empty_rules.yaml", {F, {}, {kCountMessage}}},
      {"no_rules.yaml", {F, {}, {kCountMessage}}},
      {"rules_mapping.yaml", {F, {}, {kCountMessage}}},
      {"rules_null.yaml", {F, {}, {kCountMessage}}},
      {"humble_in_middle.yaml",
       {T,
        {R(RuleType::kRosMsg, "/first", "std_msgs/msg/String", 1, T, 2, F),
         R(RuleType::kDds, "third", "Third", 3, F, 4, T)},
        {"Invalid rule's type(ros2-humble-msg)"}}},
      {"reliability.yaml",
       {T,
        {R(RuleType::kDds, "r0", "T", 1, T, 2, T), R(RuleType::kDds, "r1", "T", 1, F, 2, F),
         R(RuleType::kRosMsg, "/r2", "p/msg/T", 1, F, 2, F),
         R(RuleType::kDds, "r4", "T", 1, F, 2, F), R(RuleType::kDds, "r7", "T", 1, T, 2, F)},
        {"/rules[3]/src/reliability does not exists in config",
         "/rules[5]/dst/reliability does not exists in config",
         "/rules[6]/src/reliability does not exists in config",
         "/rules[8]/proxy_service/reliability does not exists in config",
         "/rules[9]/service/reliability does not exists in config"}}},
      {"names.yaml",
       {T,
        {R(RuleType::kDds, "my topic: 'x'", "pkg::Type", 1, T, 2, T),
         R(RuleType::kDds, "0x10", "007", 1, T, 2, T)},
        {"Invalid /rules[0]/topic", "Invalid /rules[1]/data_type", "Invalid /rules[2]/topic",
         "Invalid /rules[3]/topic", "Invalid /rules[4]/data_type", "Invalid /rules[5]/topic",
         "Invalid rule's type(ros2-jazzy-msg)", "Invalid /rules[9]/data_type"}}},
      {"key_groups.yaml",
       {T,
        {R(RuleType::kRosService, "/k3", "p/srv/T", 5, T, 6, F),
         R(RuleType::kRosAction, "/k4", "p/action/T", 7, F, 8, T),
         R(RuleType::kDds, "k5", "T", 9, F, 10, T)},
        {"Invalid domain id()", "Invalid domain id()", "Invalid domain id()",
         "Invalid domain id()"}}},
      {"all_rejected.yaml",
       {T, {}, {"Invalid rule's type(ros2-humble-msg)", "Invalid domain id(one)"}}},
      {"not_mappings.yaml",
       {T,
        {},
        {"Invalid rule's type()", "Invalid rule's type()", "Invalid rule's type()",
         "Invalid rule's type()"}}},
      {"equal_records.yaml", {T, {S, S, A, A, D, D}, {}}},
  };
  for (const auto& [fixture, expected] : cases) ExpectLoad(Fixture(fixture), expected);
}

// type_texts.yaml holds one rule per text, topic /tNN for index NN; every
// rule has src 1 reliable, dst 2 best effort, proxy_service 3 best effort
// and service 4 reliable.
TEST(ConfigLoader, TypeTexts) {
  const std::optional<RuleType> rejected;
  const std::vector<std::pair<const char*, std::optional<RuleType>>> texts = {
      {"dds", RuleType::kDds},
      {"DDS", rejected},
      {"ros2-msg", RuleType::kRosMsg},
      {"ros2-msgs", rejected},
      {"ros2-dashing-msg", RuleType::kRosMsg},
      {"xdds", rejected},
      {"ros2-eloquent-msg", RuleType::kRosMsg},
      {"ros2-foxy-msg", RuleType::kRosMsg},
      {"Ros2-msg", rejected},
      {"ros2-service", RuleType::kRosService},
      {"ros2-MSG", rejected},
      {"ros2-dashing-service", RuleType::kRosService},
      {"ros2-foxy", rejected},
      {"ros2-eloquent-service", RuleType::kRosService},
      {"ros2--msg", rejected},
      {"ros2-foxy-service", RuleType::kRosService},
      {"dds ", rejected},
      {"ros2-action", RuleType::kRosAction},
      {" dds", rejected},
      {"ros2-dashing-action", RuleType::kRosAction},
      {"ros2-foxy-dashing-msg", rejected},
      {"ros2-eloquent-action", RuleType::kRosAction},
      {"ros2_msg", rejected},
      {"ros2-foxy-action", RuleType::kRosAction},
      {"ddsdds", rejected},
      {"", rejected},  // empty text
      {"", rejected},  // no type key
      {"", rejected},  // YAML null
      {"", rejected},  // a sequence
      {"dds|ros2-msg", rejected},
      {"ros2-humble-action", rejected},
  };
  Expected expected;
  int accepted = 0;
  for (size_t i = 0; i < texts.size(); ++i) {
    const auto& [text, type] = texts[i];
    if (!type) {
      expected.messages.push_back(std::string("Invalid rule's type(") + text + ")");
      continue;
    }
    char topic[32];
    std::snprintf(topic, sizeof topic, "/t%02zu", i);
    const bool service_keys = *type == RuleType::kRosService || *type == RuleType::kRosAction;
    expected.rules.push_back(service_keys ? R(*type, topic, "p/msg/T", 3, F, 4, T)
                                          : R(*type, topic, "p/msg/T", 1, T, 2, F));
    ++accepted;
  }
  ASSERT_EQ(accepted, 13);
  ExpectLoad(Fixture("type_texts.yaml"), expected);
}

// A pattern that can match no name of its rule's kind is refused.
TEST(ConfigLoader, PatternsThatMatchNothingAreRefused) {
  Expected expected;
  expected.rules = {R(RuleType::kRosMsg, "/robot1/*", "*", 1, T, 2, T),
                    R(RuleType::kDds, "DDSPerf?Data*", "*", 1, T, 2, T),
                    R(RuleType::kRosMsg, "/**", "std_msgs/**", 1, T, 2, T)};
  expected.messages = {
      "Invalid pattern(std_msgs/msg/*) in /rules[1]/data_type: a ROS 2 type of this rule reads "
      "pkg/srv/Name",
      "Invalid pattern(robot1/*) in /rules[3]/topic: a ROS 2 name begins with \"/\"",
      "Invalid pattern(pkg/*) in /rules[4]/data_type: a ROS 2 type of this rule reads "
      "pkg/action/Name"};
  ExpectLoad(Fixture("patterns.yaml"), expected);
}

// domain_ids.yaml: rule dNN has the source domain id text of index NN and
// destination 9; the last three vary the destination.
TEST(ConfigLoader, DomainIdTexts) {
  const std::optional<int32_t> rejected;
  const std::vector<std::pair<const char*, std::optional<int32_t>>> texts = {
      {"7", 7},
      {"+7", 7},
      {" 7", 7},
      {"\t7", 7},
      {"7abc", 7},
      {"7 8", 7},
      {"-1", -1},
      {"0x10", 0},
      {"007", 7},
      {"0", 0},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"abc", rejected},
      {"", rejected},
      {"2147483648", rejected},
      {"-2147483649", rejected},
      {"99999999999999999999", rejected},
      {"- 7", rejected},
      {"+", rejected},
      {"", rejected},    // no domain_id key
      {"", rejected},    // YAML null
      {"", rejected},    // a sequence
      {"", rejected},    // a mapping
      {"", rejected},    // destination without domain_id
      {"x9", rejected},  // destination x9
      {"s", rejected},   // source s, destination d
  };
  Expected expected;
  for (size_t i = 0; i < texts.size(); ++i) {
    const auto& [text, id] = texts[i];
    if (!id) {
      expected.messages.push_back(std::string("Invalid domain id(") + text + ")");
      continue;
    }
    char topic[32];
    std::snprintf(topic, sizeof topic, "d%02zu", i);
    expected.rules.push_back(R(RuleType::kDds, topic, "T", *id, T, 9, T));
  }
  ExpectLoad(Fixture("domain_ids.yaml"), expected);
}

// Files that cannot be opened fail the load without a message and never
// bring the process down.
TEST(ConfigLoader, AdversarialFilesEndCleanly) {
  const corvane_test::TempDir dir;
  ASSERT_TRUE(!dir.path().empty());
  const int deep = 100000;
  std::string deep_block = "rules:\n";
  for (int i = 1; i < 2000; ++i) deep_block += std::string(i, ' ') + "a:\n";
  std::string binary;
  for (int i = 0; i < 65536; ++i) binary += static_cast<char>((i * 131) ^ (i >> 8));
  const std::string huge = dir.WriteFile("huge.yaml", "rules: []\n");
  ASSERT_EQ(truncate(huge.c_str(), off_t{512} << 20), 0);
  const std::vector<std::string> paths = {
      dir.WriteFile("deep_flow.yaml", "rules: " + std::string(deep, '[') + std::string(deep, ']')),
      dir.WriteFile("deep_block.yaml", deep_block),
      huge,
      dir.WriteFile("binary.yaml", binary),
      dir.WriteFile("empty.yaml", ""),
      dir.PathOf(""),
      dir.PathOf("missing.yaml"),
  };
  for (const std::string& path : paths) ExpectLoad(path, {F, {}, {}});
}

}  // namespace
