// Fuzzes the ROS 2 to DDS type name conversion against a model written the
// other way round: one pass over the characters, closing a namespace at
// every "/", with "dds_::" in front of whatever follows the last one.

#include <cstdint>
#include <string>

#include "bridge/ros.h"
#include "fuzz/fuzz_check.h"

namespace {

std::string ModelConversion(const std::string& ros_type_name) {
  std::string namespaces;
  std::string segment;
  for (const char c : ros_type_name) {
    if (c == '/') {
      namespaces += segment + "::";
      segment.clear();
    } else {
      segment += c;
    }
  }
  return namespaces + "dds_::" + segment;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string converted = ConvertRosTypeNameToDdsTypeName(input);
  FUZZ_CHECK(converted == ModelConversion(input), "conversion differs from the model");
  return 0;
}
