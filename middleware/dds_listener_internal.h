#ifndef CORVANE_MIDDLEWARE_DDS_LISTENER_INTERNAL_H_
#define CORVANE_MIDDLEWARE_DDS_LISTENER_INTERNAL_H_

// Every Cyclone reader of the layer gets, from its creation on, a Cyclone
// listener that moves its samples to the layer reader's backlog and signals
// the reader's delivery thread, so that nothing is lost while the layer's
// callback is not installed yet. The listener runs on Cyclone's receive
// thread; it calls the layer's callback itself only for a reader that was
// idle (dds_delivery_internal.h).

#include <dds/dds.h>

#include <memory>

#include "middleware/dds.h"

namespace corvane_dds {

struct CycloneListenerDeleter {
  void operator()(dds_listener_t* listener) const { dds_delete_listener(listener); }
};
using CycloneListener = std::unique_ptr<dds_listener_t, CycloneListenerDeleter>;

// The listener of `reader`'s Cyclone reader of `kind`. A transient-local
// twin reader (dds_latched_internal.h) counts no matches: its volatile
// sibling counts every publisher, and it refuses the volatile ones by design.
CycloneListener MakeReaderListener(dds_DataReader* reader, int kind, bool counts_matches = true);

// Match and incompatible-QoS statuses count for the endpoint's rule
// (dds_match_listener.cc). The listener's argument is the layer reader.
void AddReaderMatchCallbacks(dds_listener_t* listener);
CycloneListener MakeWriterListener(dds_DataWriter* writer);

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_DDS_LISTENER_INTERNAL_H_
