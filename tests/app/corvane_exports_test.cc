// Libraries loaded into corvane resolve Mbed TLS from the executable itself,
// so its functions must sit in the dynamic symbol table.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/app/corvane_harness.h"
#include "tests/support/child_process.h"

namespace corvane_test {
namespace {

TEST(ExportsTest, MbedTlsFunctionsAreExported) {
  ChildOptions options;
  options.program = "/usr/bin/nm";
  options.args = {"-D", "--defined-only", CORVANE_BINARY};
  const ChildResult r = RunChild(options, kHangTimeout);
  ASSERT_TRUE(r.exit.ExitedWith(0)) << r.exit << "\n" << r.err;

  int exported = 0;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" T mbedtls_") != std::string::npos) ++exported;
  }
  // The whole library, not a handful of functions pulled in by accident.
  EXPECT_GE(exported, 300) << r.out.substr(0, 2000);
}

}  // namespace
}  // namespace corvane_test
