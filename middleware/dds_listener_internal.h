#ifndef CORVANE_MIDDLEWARE_DDS_LISTENER_INTERNAL_H_
#define CORVANE_MIDDLEWARE_DDS_LISTENER_INTERNAL_H_

// Every Cyclone reader of the layer gets, from its creation on, a Cyclone
// listener that forwards data-available to the layer reader's callback, so
// that no signal is lost while the layer's listener is not installed yet.

#include <dds/dds.h>

#include <memory>

#include "middleware/dds.h"

namespace corvane_dds {

struct CycloneListenerDeleter {
  void operator()(dds_listener_t* listener) const { dds_delete_listener(listener); }
};
using CycloneListener = std::unique_ptr<dds_listener_t, CycloneListenerDeleter>;

CycloneListener MakeReaderListener(dds_DataReader* reader);

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_DDS_LISTENER_INTERNAL_H_
