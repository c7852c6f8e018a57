// Fast DDS type support, written by hand, for the two types of
// interop_types.idl. Both are keyless and encoded as plain XCDR1 (DDS_CDR),
// byte for byte what Cyclone DDS's generated code reads and writes.

#ifndef CORVANE_TESTS_INTEROP_FASTDDS_TYPES_H_
#define CORVANE_TESTS_INTEROP_FASTDDS_TYPES_H_

#include <cstdint>
#include <fastdds/dds/topic/TypeSupport.hpp>
#include <string>
#include <vector>

namespace interop {

struct Sample {
  uint32_t seq = 0;
  std::vector<uint8_t> payload;
};

}  // namespace interop

namespace std_msgs::msg::dds_ {

struct String_ {
  std::string data;
};

}  // namespace std_msgs::msg::dds_

// Type support named "interop::Sample" for interop::Sample.
eprosima::fastdds::dds::TypeSupport CreateSampleTypeSupport();

// Type support named "std_msgs::msg::dds_::String_" for std_msgs::msg::dds_::String_.
eprosima::fastdds::dds::TypeSupport CreateStringTypeSupport();

#endif  // CORVANE_TESTS_INTEROP_FASTDDS_TYPES_H_
