// The layer's Cyclone domain instances: one per DDS domain id and lane,
// shared while held, and free for a new instance as soon as the last holder
// lets go; a lane reads the user's configuration as the domain's own instance
// does. How Cyclone reads it otherwise is checked through the binary
// (tests/e2e/cyclone_config_test.cc).

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "middleware/cyclone/domain.h"
#include "middleware/cyclone/lane_config.h"
#include "tests/support/temp_dir.h"

namespace corvane_dds {
namespace {

TEST(DomainConfigTest, InstancesAreSharedAndIdsRefusedByCycloneGiveNone) {
  const std::shared_ptr<CycloneDomain> first = AcquireCycloneDomain(33);
  const std::shared_ptr<CycloneDomain> again = AcquireCycloneDomain(33);
  const std::shared_ptr<CycloneDomain> other = AcquireCycloneDomain(34);
  ASSERT_TRUE(first && other);
  EXPECT_EQ(first, again);
  EXPECT_EQ(first->id(), 33);
  EXPECT_NE(first->id(), other->id());
  EXPECT_EQ(AcquireCycloneDomain(233), nullptr);
  EXPECT_EQ(AcquireCycloneDomain(-1), nullptr);
}

// Threads take and drop two ids over and over, so that the last holder of one
// often lets go while another thread creates or deletes the other instance
// and a third is about to acquire the first.
TEST(DomainConfigTest, ReleasedIdIsAcquiredAgainAtOnce) {
  constexpr dds_DomainId_t kDomains[] = {223, 224};
  constexpr int kRounds = 40;
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; i++) {
        if (!AcquireCycloneDomain(kDomains[(i + t) % 2])) refused++;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(refused.load(), 0);
}

struct RenameCase {
  std::string text;
  bool accepted;
  std::string renamed;
};

// Runs every case through `rewrite`, for domain 5 and instance 90.
template <size_t N>
void ExpectRewrites(bool (*rewrite)(const std::string&, uint32_t, uint32_t, std::string*),
                    const RenameCase (&cases)[N]) {
  for (const RenameCase& c : cases) {
    std::string out;
    EXPECT_EQ(rewrite(c.text, 5, 90, &out), c.accepted) << c.text;
    if (c.accepted) {
      EXPECT_EQ(out, c.renamed) << c.text;
    }
  }
}

TEST(LaneConfigTest, RenamesTheDomainsOwnSectionsOnly) {
  const RenameCase kCases[] = {
      {R"(<Domain id="5"><X/></Domain>)", true, R"(<Domain id="90"><X/></Domain>)"},
      {R"(<domain Id = '5' >)", true, R"(<domain Id = '90' >)"},
      {R"(<Domain id="05">)", true, R"(<Domain id="90">)"},
      {R"(<Domain id="99999999999999999999999">)", true,
       R"(<Domain id="99999999999999999999999">)"},
      {R"(<Domain id="50"><Domain id="any">)", true, R"(<Domain id="50"><Domain id="any">)"},
      {R"(<DomainTag id="5">5</DomainTag>)", true, R"(<DomainTag id="5">5</DomainTag>)"},
      {R"(<F>${CYCLONEDDS_DOMAIN_ID}-${CYCLONEDDS_DOMAIN_ID}</F>)", true, R"(<F>5-5</F>)"},
      {R"(<F>$CYCLONEDDS_DOMAIN_ID</F>)", false, ""},
      {R"(<F>${CYCLONEDDS_DOMAIN_ID:-3}</F>)", false, ""},
  };
  ExpectRewrites(RenameDomainSections, kCases);
}

TEST(LaneConfigTest, ReadsFilesAndRefusesWhatItCannotSpellOut) {
  corvane_test::TempDir dir;
  const std::string file = dir.WriteFile(
      "cfg-5.xml", "<?xml version=\"1.0\"?>\n<CycloneDDS><Domain id=\"5\"/></CycloneDDS>\n");
  const std::string inlined = "\n<CycloneDDS><Domain id=\"90\"/></CycloneDDS>\n";
  const RenameCase kCases[] = {
      {"file://" + dir.path() + "/cfg-${CYCLONEDDS_DOMAIN_ID}.xml", true, inlined},
      {file + ", <T/>", true, inlined + ",<T/>"},
      {"<T>a,b</T>", true, "<T>a,b</T>"},
      {"<T/>, " + file, false, ""},
      {"file://" + dir.PathOf("missing.xml"), false, ""},
      {"$HOME/cfg.xml", false, ""},
  };
  ExpectRewrites(LaneConfig, kCases);
}

// A lane that skipped the section for its domain would keep the port base
// of the section for any domain, which Cyclone refuses; the trace file is
// named by the DDS domain id, not the lane's.
TEST(LaneConfigTest, LaneTakesItsDomainsSection) {
  corvane_test::TempDir dir;
  const char* test_uri = std::getenv("CYCLONEDDS_URI");
  ASSERT_NE(test_uri, nullptr);
  const std::string uri =
      std::string(test_uri) +
      ",<Domain id=\"any\"><Discovery><Ports><Base>65000</Base></Ports></Discovery></Domain>"
      "<Domain id=\"189\"><Discovery><Ports><Base>7400</Base></Ports></Discovery><Tracing>"
      "<Category>config</Category><OutputFile>" +
      dir.path() + "/trace-${CYCLONEDDS_DOMAIN_ID}.log</OutputFile></Tracing></Domain>";
  const std::string saved = test_uri;
  setenv("CYCLONEDDS_URI", uri.c_str(), 1);
  const std::shared_ptr<CycloneDomain> lane = AcquireCycloneDomain(189, 1);
  const std::shared_ptr<CycloneDomain> other_domain = AcquireCycloneDomain(191, 1);
  setenv("CYCLONEDDS_URI", saved.c_str(), 1);
  ASSERT_NE(lane, nullptr);
  EXPECT_NE(lane->id(), 189);
  EXPECT_EQ(other_domain, nullptr) << "the section for any domain was not applied";
  EXPECT_TRUE(std::ifstream(dir.PathOf("trace-189.log")).good());
  EXPECT_FALSE(std::ifstream(dir.PathOf("trace-" + std::to_string(lane->id()) + ".log")).good());
}

}  // namespace
}  // namespace corvane_dds
