// Translation between the layer's QoS records and Cyclone DDS QoS objects.
#ifndef CORVANE_MIDDLEWARE_CYCLONE_QOS_H_
#define CORVANE_MIDDLEWARE_CYCLONE_QOS_H_

// Translation between the layer's QoS records and Cyclone DDS QoS objects.
// Beyond what the records hold, readers ignore samples of their own
// participant (so a relay never hears its own writers: opposite relays on one
// topic would otherwise re-enter each other synchronously) and accept XCDR1
// and XCDR2; transient-local writers keep the last `kept_depth` samples of
// each instance for late joiners and never dispose instances on their own.

#include <dds/dds.h>

#include <memory>
#include <string>

#include "middleware/common/own_participants.h"
#include "middleware/dds.h"

namespace corvane_dds {

struct CycloneQosDeleter {
  void operator()(dds_qos_t* qos) const { dds_delete_qos(qos); }
};
using CycloneQos = std::unique_ptr<dds_qos_t, CycloneQosDeleter>;

// Null when a policy holds a value outside its enumeration.
CycloneQos MakeReaderQos(const dds_DataReaderQos& qos);
CycloneQos MakeWriterQos(const dds_DataWriterQos& qos, int32_t kept_depth = 1);

// Reads the policies of a Cyclone reader or writer back into a record.
dds_ReturnCode_t ReadReaderQos(dds_entity_t reader, dds_DataReaderQos* qos);
// Layer return codes are Cyclone's, negated.
dds_ReturnCode_t LayerCode(dds_return_t rc);

// A Cyclone GUID as the layer keeps participants' GUIDs.
ParticipantGuid ParticipantGuidOf(const dds_guid_t& guid);

// Makes `entity` (a reader or writer; nothing when it is 0) announce `bytes`
// as its USER_DATA from now on.
dds_return_t SetUserData(dds_entity_t entity, const std::string& bytes);
dds_ReturnCode_t ReadWriterQos(dds_entity_t writer, dds_DataWriterQos* qos);

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_CYCLONE_QOS_H_
