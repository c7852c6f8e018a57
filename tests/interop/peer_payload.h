// The content the peers exchange. Every byte derives from the sequence number
// and the size, so a receiver can tell whether a sample arrived unchanged
// without knowing what the publisher sent.

#ifndef CORVANE_TESTS_INTEROP_PEER_PAYLOAD_H_
#define CORVANE_TESTS_INTEROP_PEER_PAYLOAD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tests/interop/peer_options.h"

// One sample as the vendor-neutral part of a peer sees it.
struct PeerSample {
  uint32_t seq = 0;
  std::vector<uint8_t> payload;
  int64_t source_timestamp_ns = 0;
  bool well_formed = true;  // False if the received data could not be split up.
};

// The payload of sequence number `seq`: any byte value for kSample,
// lower-case letters for kChatter (it becomes the text of a string).
std::vector<uint8_t> MakePayload(PeerKind kind, uint32_t seq, uint32_t size);

// The text a chatter sample carries: "<seq>:" followed by the payload.
std::string ComposeChatterText(uint32_t seq, const std::vector<uint8_t>& payload);

// Inverse of ComposeChatterText; false if `text` has no "<seq>:" prefix.
bool SplitChatterText(const std::string& text, uint32_t* seq, std::vector<uint8_t>* payload);

// CRC-32 (IEEE 802.3, the zlib one) of `size` bytes.
uint32_t Crc32(const uint8_t* data, size_t size);

#endif  // CORVANE_TESTS_INTEROP_PEER_PAYLOAD_H_
