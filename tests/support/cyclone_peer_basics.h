#ifndef CORVANE_TESTS_SUPPORT_CYCLONE_PEER_BASICS_H_
#define CORVANE_TESTS_SUPPORT_CYCLONE_PEER_BASICS_H_

// What every test-side Cyclone DDS peer needs: polling with a limit, entity
// handles deleted with their owner, and the match counts of an endpoint.

#include <dds/dds.h>

#include <chrono>
#include <cstdint>
#include <functional>

namespace corvane_test {

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
