#include "tests/interop/fastdds_types.h"

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <fastcdr/exceptions/Exception.h>

#include <memory>

namespace {

using eprosima::fastcdr::Cdr;
using eprosima::fastcdr::FastBuffer;
using eprosima::fastrtps::rtps::InstanceHandle_t;
using eprosima::fastrtps::rtps::SerializedPayload_t;

// Encapsulation header plus one length prefix.
const uint32_t HEADER_AND_LENGTH = 8;
// What Fast DDS preallocates per sample; larger samples grow their buffers.
const uint32_t TYPICAL_SIZE = 512;

void Encode(Cdr& cdr, const interop::Sample& sample) {
  cdr << sample.seq << sample.payload;
}
void Decode(Cdr& cdr, interop::Sample* sample) {
  cdr >> sample->seq >> sample->payload;
}
uint32_t EncodedSize(const interop::Sample& sample) {
  return HEADER_AND_LENGTH + 4 + static_cast<uint32_t>(sample.payload.size());
}

void Encode(Cdr& cdr, const std_msgs::msg::dds_::String_& text) {
  cdr << text.data;
}
void Decode(Cdr& cdr, std_msgs::msg::dds_::String_* text) {
  cdr >> text->data;
}
uint32_t EncodedSize(const std_msgs::msg::dds_::String_& text) {
  // A CDR string ends in NUL.
  return HEADER_AND_LENGTH + static_cast<uint32_t>(text.data.size()) + 1;
}

// Keyless type support for T, encoded by the Encode/Decode/EncodedSize overloads above.
template <typename T>
class CdrTypeSupport : public eprosima::fastdds::dds::TopicDataType {
 public:
  explicit CdrTypeSupport(const char* name) {
    setName(name);
    m_typeSize = TYPICAL_SIZE;
    m_isGetKeyDefined = false;
    auto_fill_type_object(false);
    auto_fill_type_information(false);
  }

  bool serialize(void* data, SerializedPayload_t* payload) override {
    FastBuffer buffer(reinterpret_cast<char*>(payload->data), payload->max_size);
    Cdr cdr(buffer, Cdr::DEFAULT_ENDIAN, Cdr::DDS_CDR);
    payload->encapsulation = cdr.endianness() == Cdr::BIG_ENDIANNESS ? CDR_BE : CDR_LE;
    try {
      cdr.serialize_encapsulation();
      Encode(cdr, *static_cast<const T*>(data));
    } catch (const eprosima::fastcdr::exception::Exception&) {
      return false;  // Fast CDR reports a full buffer by throwing.
    }
    payload->length = static_cast<uint32_t>(cdr.getSerializedDataLength());
    return true;
  }

  bool deserialize(SerializedPayload_t* payload, void* data) override {
    FastBuffer buffer(reinterpret_cast<char*>(payload->data), payload->length);
    Cdr cdr(buffer, Cdr::DEFAULT_ENDIAN, Cdr::DDS_CDR);
    try {
      cdr.read_encapsulation();
      payload->encapsulation = cdr.endianness() == Cdr::BIG_ENDIANNESS ? CDR_BE : CDR_LE;
      Decode(cdr, static_cast<T*>(data));
    } catch (const eprosima::fastcdr::exception::Exception&) {
      return false;  // Truncated or malformed input.
    }
    return true;
  }

  std::function<uint32_t()> getSerializedSizeProvider(void* data) override {
    const T* sample = static_cast<const T*>(data);
    return [sample] { return EncodedSize(*sample); };
  }

  void* createData() override { return std::make_unique<T>().release(); }

  void deleteData(void* data) override { std::unique_ptr<T>(static_cast<T*>(data)); }

  bool getKey(void*, InstanceHandle_t*, bool) override { return false; }
};

}  // namespace

eprosima::fastdds::dds::TypeSupport CreateSampleTypeSupport() {
  return eprosima::fastdds::dds::TypeSupport(
      std::make_unique<CdrTypeSupport<interop::Sample>>("interop::Sample").release());
}

eprosima::fastdds::dds::TypeSupport CreateStringTypeSupport() {
  return eprosima::fastdds::dds::TypeSupport(
      std::make_unique<CdrTypeSupport<std_msgs::msg::dds_::String_>>("std_msgs::msg::dds_::String_")
          .release());
}
