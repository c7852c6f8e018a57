// corvane reading Cyclone DDS's settings from CYCLONEDDS_URI in each form that
// Cyclone itself accepts. Runs in a network namespace of its own with only
// loopback, since a form that is not read falls back to Cyclone's defaults:
// a form that is read writes the trace file that its <Domain> section names
// with the expanded domain id; a configuration Cyclone refuses ends corvane
// with status 2.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <string>

#include "tests/app/corvane_harness.h"
#include "tests/e2e/e2e_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace corvane_e2e {
namespace {

using corvane_test::ChildOptions;
using corvane_test::CorvaneOptions;
using corvane_test::TempDir;

constexpr int kSrc = 220;
constexpr int kDst = 221;

// Settings for one domain with a trace file in DIR (replaced by the run's
// directory) named by Cyclone's domain id variable.
const char kTraced[] =
    "<General><Interfaces><NetworkInterface name=\"lo\"/></Interfaces></General>"
    "<Tracing><Verbosity>config</Verbosity>"
    "<OutputFile>DIR/trace-${CYCLONEDDS_DOMAIN_ID}.log</OutputFile></Tracing>";

struct FormCase {
  const char* name;
  std::string file;  // written to DIR/cyclone.xml when not empty
  std::string uri;   // CYCLONEDDS_URI, with DIR replaced
  int traced;        // the domain whose trace file appears; 0: corvane is refused
};

void PrintTo(const FormCase& c, std::ostream* os) {
  *os << c.name;
}

std::string Section(const std::string& open, const std::string& close) {
  return open + kTraced + close;
}

std::string WithDir(std::string text, const std::string& dir) {
  for (size_t at = text.find("DIR"); at != std::string::npos; at = text.find("DIR", at)) {
    text.replace(at, 3, dir);
    at += dir.size();
  }
  return text;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// corvane under `unshare -n`, with loopback up and nothing else.
ChildOptions InOwnNetwork(ChildOptions options) {
  options.args.insert(
      options.args.begin(),
      {"-n", "/bin/sh", "-c", "ip link set lo up && exec \"$0\" \"$@\"", options.program});
  options.program = "/usr/bin/unshare";
  return options;
}

class CycloneConfigTest : public testing::TestWithParam<FormCase> {
 protected:
  void SetUp() override {
    ChildOptions probe;
    probe.program = "/usr/bin/unshare";
    probe.args = {"-n", "/bin/sh", "-c", "ip link set lo up"};
    if (!corvane_test::RunChild(probe, corvane_test::kHangTimeout).exit.ExitedWith(0)) {
      GTEST_SKIP() << "needs a network namespace of its own (unshare -n, as root); "
                      "never run on the host's interfaces";
    }
  }
};

TEST_P(CycloneConfigTest, CorvaneReadsItAsCycloneDoes) {
  const FormCase& c = GetParam();
  TempDir dir;
  if (!c.file.empty()) {
    ASSERT_FALSE(dir.WriteFile("cyclone.xml", WithDir(c.file, dir.path())).empty());
  }
  ASSERT_FALSE(dir.WriteFile("rules.yaml", corvane_test::DdsRuleFile(kSrc, kDst, "cfg")).empty());
  ChildOptions options = InOwnNetwork(CorvaneOptions(dir.path(), {"-c", "rules.yaml"}));
  options.set_env["CYCLONEDDS_URI"] = WithDir(c.uri, dir.path());

  if (c.traced == 0) {
    const corvane_test::ChildResult result = RunChild(options, corvane_test::kHangTimeout);
    EXPECT_TRUE(result.exit.ExitedWith(2)) << result.exit << "\n" << result.err;
    EXPECT_NE(result.err.find("cannot create a bridge instance"), std::string::npos) << result.err;
    EXPECT_FALSE(HasSanitizerReport(result.err)) << result.err;
    return;
  }
  const corvane_test::StoppedRun run = corvane_test::RunAndStop(options, SIGINT);
  EXPECT_TRUE(run.reached_wait && run.result.exit.ExitedWith(0)) << run.result.exit << "\n"
                                                                 << run.result.err;
  const int untraced = c.traced == kSrc ? kDst : kSrc;
  EXPECT_TRUE(Exists(dir.PathOf("trace-" + std::to_string(c.traced) + ".log")));
  EXPECT_FALSE(Exists(dir.PathOf("trace-" + std::to_string(untraced) + ".log")));
}

const std::string kFile = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" +
                          Section("<CycloneDDS><Domain id=\"220\">", "</Domain></CycloneDDS>");

INSTANTIATE_TEST_SUITE_P(
    Forms, CycloneConfigTest,
    testing::Values(
        FormCase{"BarePath", kFile, "DIR/cyclone.xml", kSrc},
        FormCase{"FileUrl", kFile, "file://DIR/cyclone.xml", kSrc},
        FormCase{"InlineXml", "",
                 Section("<CycloneDDS><Domain id=\"220\">", "</Domain></CycloneDDS>"), kSrc},
        FormCase{
            "OtherDomainsSection", "",
            Section("<CycloneDDS><Domain id='22'/><Domain  id = '221' >", "</Domain></CycloneDDS>"),
            kDst},
        FormCase{"CaseVariants", "",
                 Section("<cyclonedds><domain Id=\"220\">", "</domain></cyclonedds>"), kSrc},
        FormCase{"LegacyIdElement", "",
                 Section("<CycloneDDS><Domain><Id>220</Id>", "</Domain></CycloneDDS>"), kSrc},
        FormCase{
            "AbsurdId", "",
            Section("<CycloneDDS><Domain id=\"99999999999999999999\">", "</Domain></CycloneDDS>"),
            0},
        FormCase{"MissingFile", "", "DIR/missing.xml", 0}),
    [](const testing::TestParamInfo<FormCase>& info) { return info.param.name; });

}  // namespace
}  // namespace corvane_e2e
