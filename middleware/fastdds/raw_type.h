// Fast DDS type support for serialized samples of any type name.
#ifndef CORVANE_MIDDLEWARE_FASTDDS_RAW_TYPE_H_
#define CORVANE_MIDDLEWARE_FASTDDS_RAW_TYPE_H_

// A Fast DDS type support for any type name whose samples are serialized
// bytes, encapsulation header included, passed through untouched. Keyless,
// and it announces no type description, so peers match it by name.

#include <cstdint>
#include <fastdds/dds/topic/TopicDataType.hpp>
#include <memory>
#include <string>
#include <vector>

namespace corvane_dds {

// The data object of a raw write (`out`) or take (`in`, filled).
struct RawData {
  const uint8_t* out = nullptr;
  uint32_t out_size = 0;
  std::vector<uint8_t>* in = nullptr;
};

std::unique_ptr<eprosima::fastdds::dds::TopicDataType> MakeRawTopicDataType(
    const std::string& type_name);

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_FASTDDS_RAW_TYPE_H_
