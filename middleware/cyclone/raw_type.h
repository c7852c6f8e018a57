// Cyclone DDS type support for serialized samples of any type name.
#ifndef CORVANE_MIDDLEWARE_CYCLONE_RAW_TYPE_H_
#define CORVANE_MIDDLEWARE_CYCLONE_RAW_TYPE_H_

// Opaque Cyclone DDS type support: a sertype that knows only its type name and
// whether it is keyed, and serdata that hold a sample's serialized bytes
// (encapsulation header included) without ever decoding them.
//
// Instances are told apart by the key hash that a peer may send with a sample;
// peers that send none (Cyclone's default) put all samples of a topic in one
// instance, which keep-all histories carry without loss.
//
// A serdata never reads its sertype after creation, so it may outlive the
// topic it came from (a writer's history keeps forwarded samples).

#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>
#include <dds/ddsi/ddsi_sertype.h>

#include <cstdint>

namespace corvane_dds {

// A new sertype, owned by the caller until dds_create_topic_sertype accepts it;
// release a refused one with RawSertypeDiscard.
ddsi_sertype* RawSertypeCreate(const char* type_name, bool keyed);
void RawSertypeDiscard(ddsi_sertype* type);

// A serdata of `type` that shares `source`'s bytes (no copy) and keeps its
// source timestamp, and its key hash when `keep_instance` (else it belongs to
// the one instance of samples without a key hash). `source` must be a serdata
// of this raw type.
ddsi_serdata* RawSerdataForward(const ddsi_sertype* type, ddsi_serdata* source, bool keep_instance);

// A serdata of `type` holding a copy of `size` bytes, stamped `timestamp`.
ddsi_serdata* RawSerdataCopy(const ddsi_sertype* type, const void* bytes, uint32_t size,
                             dds_time_t timestamp);

// The serialized bytes and their count; valid while the serdata is referenced.
const unsigned char* RawSerdataBytes(const ddsi_serdata* serdata);
uint32_t RawSerdataSize(const ddsi_serdata* serdata);

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_CYCLONE_RAW_TYPE_H_
