#include "tests/config/loader_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "tests/support/temp_dir.h"

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

[[noreturn]] void LoadInChild(const std::string& path, int log_level, const std::string& log_path,
                              const std::string& result_path) {
  alarm(60);  // a load that hangs dies and shows as unclean
  setenv("TAVRINDDS_LOG_LEVEL", std::to_string(log_level).c_str(), 1);
  const int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) _exit(3);
  close(fd);
  const std::optional<AppConfig> config = AppConfig::LoadFromYamlFile(path);
  std::ofstream out(result_path);
  out << (config ? "present" : "absent") << '\n';
  if (config) {
    for (const RuleDescription& rule : config->GetRuleList()) out << Describe(rule) << '\n';
  }
  out.close();
  _exit(out ? 0 : 4);
}

}  // namespace

std::string Describe(RuleType type, const std::string& topic, const std::string& data_type,
                     int32_t src_id, bool src_reliable, int32_t dst_id, bool dst_reliable) {
  std::ostringstream line;
  line << "type " << static_cast<int>(type) << " topic '" << topic << "' data_type '" << data_type
       << "' src " << src_id << (src_reliable ? " reliable" : " best-effort") << " dst " << dst_id
       << (dst_reliable ? " reliable" : " best-effort");
  return line.str();
}

std::string Describe(const RuleDescription& rule) {
  return Describe(rule.type, rule.topic, rule.data_type, rule.src.domain_id, rule.src.reliable,
                  rule.dst.domain_id, rule.dst.reliable);
}

LoaderRun RunLoader(const std::string& path, int log_level) {
  const corvane_test::TempDir dir;
  LoaderRun run;
  if (!!dir.path().empty()) return run;
  const std::string log_path = dir.PathOf("stderr");
  const std::string result_path = dir.PathOf("result");
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) LoadInChild(path, log_level, log_path, result_path);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return run;
  run.exited_cleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::vector<std::string> result = ReadLines(result_path);
  run.present = !result.empty() && result.front() == "present";
  if (!result.empty()) run.rules.assign(result.begin() + 1, result.end());
  run.log_lines = ReadLines(log_path);
  return run;
}
