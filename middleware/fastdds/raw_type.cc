// The raw Fast DDS type support: serialized bytes in, the same bytes out.

#include "middleware/fastdds/raw_type.h"

#include <cstring>

namespace corvane_dds {
namespace {

using eprosima::fastrtps::rtps::InstanceHandle_t;
using eprosima::fastrtps::rtps::SerializedPayload_t;

// What Fast DDS preallocates per sample; larger samples grow their buffers.
constexpr uint32_t kTypicalSize = 512;
constexpr uint32_t kEncapsulationSize = 4;

class RawTopicDataType : public eprosima::fastdds::dds::TopicDataType {
 public:
  explicit RawTopicDataType(const std::string& name) {
    setName(name.c_str());
    m_typeSize = kTypicalSize;
    m_isGetKeyDefined = false;
    auto_fill_type_object(false);
    auto_fill_type_information(false);
  }

  bool serialize(void* data, SerializedPayload_t* payload) override {
    const auto* raw = static_cast<const RawData*>(data);
    if (raw->out == nullptr || raw->out_size < kEncapsulationSize ||
        payload->max_size < raw->out_size) {
      return false;
    }
    std::memcpy(payload->data, raw->out, raw->out_size);
    payload->length = raw->out_size;
    // The second byte of the header tells the byte order (CDR_LE is 0x0001).
    payload->encapsulation = (raw->out[1] & 1) != 0 ? CDR_LE : CDR_BE;
    return true;
  }

  bool deserialize(SerializedPayload_t* payload, void* data) override {
    auto* raw = static_cast<RawData*>(data);
    if (raw->in == nullptr || payload->length < kEncapsulationSize) return false;
    raw->in->assign(payload->data, payload->data + payload->length);
    return true;
  }

  std::function<uint32_t()> getSerializedSizeProvider(void* data) override {
    const uint32_t size = static_cast<const RawData*>(data)->out_size;
    return [size] { return size; };
  }

  void* createData() override { return std::make_unique<RawData>().release(); }

  void deleteData(void* data) override { std::unique_ptr<RawData>(static_cast<RawData*>(data)); }

  bool getKey(void*, InstanceHandle_t*, bool) override { return false; }
};

}  // namespace

std::unique_ptr<eprosima::fastdds::dds::TopicDataType> MakeRawTopicDataType(
    const std::string& type_name) {
  return std::make_unique<RawTopicDataType>(type_name);
}

}  // namespace corvane_dds
