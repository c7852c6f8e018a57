// Puts every test process, and what it starts, on the loopback Fast DDS
// profile before main runs: layer participants with service topics create
// Fast DDS participants, which without a profile use shared memory and
// multicast on every interface.

#include <cstdlib>

namespace {

const bool kProfileSet = [] {
  setenv("FASTRTPS_DEFAULT_PROFILES_FILE", CORVANE_TEST_FASTDDS_PROFILE, 1);
  setenv("SKIP_DEFAULT_XML_FILE", "1", 1);
  return true;
}();

}  // namespace
