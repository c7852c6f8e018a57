#ifndef CORVANE_TESTS_SUPPORT_CYCLONE_PEER_BASICS_H_
#define CORVANE_TESTS_SUPPORT_CYCLONE_PEER_BASICS_H_

// What every test-side Cyclone DDS peer needs: a participant apart from the
// layer's, polling with a limit, entity handles deleted with their owner, and
// the match counts of an endpoint.

#include <dds/dds.h>

#include <chrono>
#include <cstdint>
#include <functional>

namespace corvane_test {

// A participant of DDS domain `domain_id` in a Cyclone instance of the test's
// own (configured from CYCLONEDDS_URI), never in the layer's instance of that
// domain: in-process peers meet the layer over the network only, as peers in
// other processes do, and never take the layer's domain id from it.
dds_entity_t CreatePeerParticipant(dds_domainid_t domain_id);

// Polls `done` until it holds or `limit` passes; returns its last value.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(10));

// A Cyclone DDS entity handle, deleted with the object.
class Entity {
 public:
  explicit Entity(dds_entity_t handle = 0) : handle_(handle) {}
  ~Entity();
  Entity(const Entity&) = delete;
  Entity& operator=(const Entity&) = delete;
  dds_entity_t get() const { return handle_; }

 private:
  dds_entity_t handle_;
};

// Readers matched by `writer`, writers matched by `reader`; -1 on error.
int32_t PublicationsMatched(dds_entity_t writer);
int32_t SubscriptionsMatched(dds_entity_t reader);

}  // namespace corvane_test

#endif  // CORVANE_TESTS_SUPPORT_CYCLONE_PEER_BASICS_H_
