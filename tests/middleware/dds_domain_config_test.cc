// The configuration of the layer's Cyclone domain instances: the user's
// CYCLONEDDS_URI comes after the layer's tuning, with its sections for the
// DDS domain renamed so that Cyclone applies them under the private id.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "middleware/dds_domain_config_internal.h"

namespace corvane_dds {
namespace {

constexpr char kTuning[] = "<Internal><WriteBatch>true</WriteBatch></Internal>";

std::string Expected(const std::string& user, int domain) {
  return std::string(kTuning) + (user.empty() ? "" : "," + user) +
         ",<Discovery><ExternalDomainId>" + std::to_string(domain) +
         "</ExternalDomainId></Discovery>";
}

TEST(DomainConfigTest, UserSectionsForTheDomainApplyUnderThePrivateId) {
  struct Case {
    const char* what;
    const char* user;
    std::string expected_user;
  };
  const Case cases[] = {
      {"no configuration", nullptr, ""},
      {"empty configuration", "", ""},
      {"inline XML without sections", "<General><AllowMulticast>false</AllowMulticast></General>",
       "<General><AllowMulticast>false</AllowMulticast></General>"},
      {"section of this domain", R"(<CycloneDDS><Domain id="31"><General/></Domain></CycloneDDS>)",
       R"(<CycloneDDS><Domain id="any"><General/></Domain></CycloneDDS>)"},
      {"single quotes and spaces", "<Domain  id = ' 31 ' ><General/></Domain>",
       R"(<Domain  id = "any" ><General/></Domain>)"},
      {"sections of other domains stay", R"(<Domain id="3"/><Domain id="310"/><Domain id="any"/>)",
       R"(<Domain id="3"/><Domain id="310"/><Domain id="any"/>)"},
      {"unreadable file stays for Cyclone", "file:///nonexistent/corvane.xml",
       "file:///nonexistent/corvane.xml"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(DomainConfig(31, c.user), Expected(c.expected_user, 31));
  }
}

TEST(DomainConfigTest, FilesAreInlinedWithoutTheirXmlDeclaration) {
  const std::string path = ::testing::TempDir() + "corvane_domain_config_test.xml";
  {
    std::ofstream file(path);
    file << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<CycloneDDS><Domain id=\"32\"><General/></Domain></CycloneDDS>\n";
  }
  const std::string user = "<Tracing/>,file://" + path + ",<Discovery/>";
  EXPECT_EQ(DomainConfig(32, user.c_str()),
            Expected("<Tracing/>,\n<CycloneDDS><Domain id=\"any\"><General/></Domain>"
                     "</CycloneDDS>\n,<Discovery/>",
                     32));
  std::remove(path.c_str());
}

TEST(DomainConfigTest, InstancesAreSharedAndIdsRefusedByCycloneGiveNone) {
  const std::shared_ptr<CycloneDomain> first = AcquireCycloneDomain(33);
  const std::shared_ptr<CycloneDomain> again = AcquireCycloneDomain(33);
  const std::shared_ptr<CycloneDomain> other = AcquireCycloneDomain(34);
  ASSERT_TRUE(first && other);
  EXPECT_EQ(first, again);
  EXPECT_NE(first->internal_id(), other->internal_id());
  EXPECT_EQ(AcquireCycloneDomain(233), nullptr);
  EXPECT_EQ(AcquireCycloneDomain(-1), nullptr);
}

}  // namespace
}  // namespace corvane_dds
