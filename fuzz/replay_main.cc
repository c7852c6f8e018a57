// Runs a fuzz target over saved inputs without libFuzzer, so that ordinary
// (gcc, sanitizer or not) builds replay the corpus and the regressions as a
// test. Arguments are files or directories (read one level deep); each file
// is one input. A missing directory is skipped, but finding no input fails.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool RunFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  // A copy of exact size, so that a read past the input's end is caught by
  // the address sanitizer as it is under libFuzzer.
  std::vector<uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int files = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    std::error_code error;
    if (fs::is_directory(arg, error)) {
      std::vector<fs::path> entries;
      for (const auto& entry : fs::directory_iterator(arg, error)) {
        if (entry.is_regular_file()) entries.push_back(entry.path());
      }
      std::sort(entries.begin(), entries.end());
      for (const auto& path : entries) {
        ok = RunFile(path) && ok;
        ++files;
      }
    } else if (fs::exists(arg, error)) {
      ok = RunFile(arg) && ok;
      ++files;
    }
  }
  std::printf("%d inputs replayed\n", files);
  // No input at all means the paths are wrong, not that all is well.
  return ok && files > 0 ? 0 : 1;
}
