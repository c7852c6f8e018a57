// Times AppConfig::LoadFromYamlFile.
//
//   rule_load [rule-file] [--runs N]
//
// Without a file, writes 10,000 rules (all four kinds, block style) to a
// temporary directory and loads that. Prints one line whose first "<n> ms"
// is the median load time. Exit status 1 when a load fails or, for the
// generated file, does not return every rule.

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"

namespace {

constexpr int kGeneratedRules = 10000;

// Removes the directory it created.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rule_load-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool WriteRuleFile(const std::string& path, int count) {
  static const char* const kTypes[] = {"dds", "ros2-foxy-msg", "ros2-service", "ros2-action"};
  std::ofstream out(path);
  out << "rules:\n";
  for (int i = 0; i < count; ++i) {
    const int kind = i % 4;
    const bool service = kind >= 2;
    out << "  - type: " << kTypes[kind] << "\n"
        << "    topic: " << (kind == 0 ? "" : "/") << "bench/topic_" << i << "\n"
        << "    data_type: bench_msgs/" << (service ? "srv" : "msg") << "/Sample" << i % 7 << "\n"
        << "    " << (service ? "proxy_service" : "src") << ":\n"
        << "      domain_id: " << 110 + i % 10 << "\n"
        << "      reliability: reliable\n"
        << "    " << (service ? "service" : "dst") << ":\n"
        << "      domain_id: " << 120 + i % 10 << "\n"
        << "      reliability: best_effort\n";
  }
  return static_cast<bool>(out.flush());
}

double CpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

struct LoadTime {
  double wall_ms;
  double cpu_ms;  // less disturbed than wall time on a busy machine
};

// Times one load; nullopt when it failed. `rules` gets the rule count.
std::optional<LoadTime> TimeLoad(const std::string& path, size_t* rules) {
  const double cpu_start = CpuMilliseconds();
  const auto start = std::chrono::steady_clock::now();
  const std::optional<AppConfig> config = AppConfig::LoadFromYamlFile(path);
  const auto stop = std::chrono::steady_clock::now();
  const double cpu_stop = CpuMilliseconds();
  if (!config) return std::nullopt;
  *rules = config->GetRuleList().size();
  return LoadTime{std::chrono::duration<double, std::milli>(stop - start).count(),
                  cpu_stop - cpu_start};
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (argv[i][0] != '-' && path.empty()) {
      path = argv[i];
    } else {
      std::fprintf(stderr, "usage: %s [rule-file] [--runs N]\n", argv[0]);
      return 2;
    }
  }
  const ScratchDir scratch;
  const bool generated = path.empty();
  if (generated) {
    path = scratch.path() + "/rules.yaml";
    if (scratch.path().empty() || !WriteRuleFile(path, kGeneratedRules)) {
      std::fprintf(stderr, "rule_load: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  std::vector<double> wall;
  std::vector<double> cpu;
  size_t rules = 0;
  for (int i = 0; i < runs; ++i) {
    const std::optional<LoadTime> time = TimeLoad(path, &rules);
    if (!time) {
      std::fprintf(stderr, "rule_load: %s did not load\n", path.c_str());
      return 1;
    }
    wall.push_back(time->wall_ms);
    cpu.push_back(time->cpu_ms);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  std::error_code ignored;
  const double megabytes = std::filesystem::file_size(path, ignored) / 1e6;
  std::printf(
      "rule_load: median %.1f ms (min %.1f, max %.1f; cpu median %.1f) over %d loads of %zu "
      "rules, %.2f MB\n",
      wall[wall.size() / 2], wall.front(), wall.back(), cpu[cpu.size() / 2], runs, rules,
      megabytes);
  return generated && rules != static_cast<size_t>(kGeneratedRules) ? 1 : 0;
}
