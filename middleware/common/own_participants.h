// The participants this process created, in either engine.
#ifndef CORVANE_MIDDLEWARE_COMMON_OWN_PARTICIPANTS_H_
#define CORVANE_MIDDLEWARE_COMMON_OWN_PARTICIPANTS_H_

#include <array>
#include <cstdint>

namespace corvane_dds {

// A participant's GUID as it travels: the 12-byte prefix, then the entity id.
using ParticipantGuid = std::array<uint8_t, 16>;

// Marks a participant as the process's own for as long as the mark lives, so
// that discovery leaves its readers and writers out: the relay's endpoints
// are never what a pattern rule bridges.
class OwnParticipant {
 public:
  explicit OwnParticipant(const ParticipantGuid& guid);
  ~OwnParticipant();
  OwnParticipant(const OwnParticipant&) = delete;
  OwnParticipant& operator=(const OwnParticipant&) = delete;

 private:
  const ParticipantGuid guid_;
};

// True while a mark of `guid` lives. Any thread.
bool IsOwnParticipant(const ParticipantGuid& guid);

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_COMMON_OWN_PARTICIPANTS_H_
