// The registry of the process's own participants.

#include "middleware/common/own_participants.h"

#include <mutex>
#include <set>

namespace corvane_dds {
namespace {

struct Registry {
  std::mutex mutex;
  std::multiset<ParticipantGuid> guids;  // guarded by mutex
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

OwnParticipant::OwnParticipant(const ParticipantGuid& guid) : guid_(guid) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.guids.insert(guid_);
}

OwnParticipant::~OwnParticipant() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const auto it = registry.guids.find(guid_);
  if (it != registry.guids.end()) registry.guids.erase(it);
}

bool IsOwnParticipant(const ParticipantGuid& guid) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.guids.count(guid) != 0;
}

}  // namespace corvane_dds
