#ifndef CORVANE_TESTS_CONFIG_TEMP_DIR_H_
#define CORVANE_TESTS_CONFIG_TEMP_DIR_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

// A fresh directory under the system temp dir, removed with its content.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "corvane-config-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }

  bool ok() const { return !path_.empty(); }

  // Path of `name` inside the directory.
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  // Writes `content` to `name` and returns its path.
  std::string Write(const std::string& name, const std::string& content) const {
    const std::string path = File(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

 private:
  std::string path_;
};

#endif  // CORVANE_TESTS_CONFIG_TEMP_DIR_H_
