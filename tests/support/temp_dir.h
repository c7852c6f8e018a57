#ifndef CORVANE_TESTS_SUPPORT_TEMP_DIR_H_
#define CORVANE_TESTS_SUPPORT_TEMP_DIR_H_

// A private directory for one test, removed with everything in it when the
// object goes. Created under $TMPDIR, else /tmp.

#include <string>

namespace corvane_test {

class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  // Empty when the directory could not be created.
  const std::string& path() const { return path_; }

  // The path of `name` inside the directory.
  std::string PathOf(const std::string& name) const;

  // Writes `content` to `name` inside the directory, replacing it. Returns
  // the file's path, or an empty string on failure.
  std::string WriteFile(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

}  // namespace corvane_test

#endif  // CORVANE_TESTS_SUPPORT_TEMP_DIR_H_
