#include "tests/e2e/e2e_harness.h"

#include <regex>
#include <sstream>

#include "tests/app/corvane_harness.h"

namespace corvane_e2e {

namespace {

std::string Reliability(bool reliable) {
  return reliable ? "reliable" : "best_effort";
}

}  // namespace

std::string RuleFile(const std::vector<DdsRule>& rules) {
  std::ostringstream file;
  file << "rules:\n";
  for (const DdsRule& rule : rules) {
    file << "  - type: dds\n"
         << "    topic: " << rule.topic << "\n"
         << "    data_type: \"" << rule.data_type << "\"\n"
         << "    src:\n"
         << "      domain_id: " << rule.src << "\n"
         << "      reliability: " << Reliability(rule.src_reliable) << "\n"
         << "    dst:\n"
         << "      domain_id: " << rule.dst << "\n"
         << "      reliability: " << Reliability(rule.dst_reliable) << "\n";
  }
  return file.str();
}

std::unique_ptr<corvane_test::ChildProcess> StartRelay(const corvane_test::TempDir& dir,
                                                       const std::string& rule_file,
                                                       std::string* error) {
  if (dir.WriteFile("rules.yaml", rule_file).empty()) {
    *error = "cannot write the rule file";
    return nullptr;
  }
  std::unique_ptr<corvane_test::ChildProcess> relay = corvane_test::ChildProcess::Start(
      corvane_test::CorvaneOptions(dir.path(), {"-c", "rules.yaml"}), error);
  if (relay == nullptr) return nullptr;
  if (!relay->WaitForStderr(corvane_test::kBannerPress, corvane_test::kHangTimeout)) {
    *error = "no banner; exit " + relay->Wait(corvane_test::kHangTimeout).ToString() +
             "; stderr:\n" + relay->Stderr();
    return nullptr;
  }
  return relay;
}

corvane_test::ChildExit StopRelay(corvane_test::ChildProcess* relay, int signo) {
  relay->SendSignal(signo);
  return relay->Wait(corvane_test::kHangTimeout);
}

bool HasSanitizerReport(const std::string& stderr_text) {
  return stderr_text.find("Sanitizer") != std::string::npos ||
         stderr_text.find("runtime error:") != std::string::npos;
}

corvane_test::ChildOptions DdsperfOptions(int domain, const std::vector<std::string>& args) {
  corvane_test::ChildOptions options;
  options.program = CORVANE_E2E_DDSPERF;
  options.args = {"-i", std::to_string(domain)};
  options.args.insert(options.args.end(), args.begin(), args.end());
  options.set_env["CYCLONEDDS_URI"] = CORVANE_TEST_DDS_URI;
  return options;
}

std::vector<DdsperfSubLine> ParseDdsperfSub(const std::string& output) {
  static const std::regex kLine(R"(size (\d+) total (\d+) lost (\d+) )");
  std::vector<DdsperfSubLine> lines;
  for (std::sregex_iterator it(output.begin(), output.end(), kLine), end; it != end; ++it) {
    DdsperfSubLine line;
    line.size = std::stoull((*it)[1]);
    line.total = std::stoull((*it)[2]);
    line.lost = std::stoull((*it)[3]);
    lines.push_back(line);
  }
  return lines;
}

}  // namespace corvane_e2e
