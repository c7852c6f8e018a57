// Calls of the layer that only its own tests and tools make.
#ifndef CORVANE_MIDDLEWARE_DDS_INTERNAL_H_
#define CORVANE_MIDDLEWARE_DDS_INTERNAL_H_

#include <cstdint>

#include "middleware/dds.h"

// Samples `reader` dropped because its backlog was full (see the QoS records).
uint64_t dds_DataReader_dropped_sample_count(const dds_DataReader* reader);

// The QoS an endpoint was created with, as the layer's records show it.
dds_ReturnCode_t dds_DataReader_get_qos(const dds_DataReader* reader, dds_DataReaderQos* qos);
dds_ReturnCode_t dds_DataWriter_get_qos(const dds_DataWriter* writer, dds_DataWriterQos* qos);

#endif  // CORVANE_MIDDLEWARE_DDS_INTERNAL_H_
