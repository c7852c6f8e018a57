#include "tests/interop/peer_payload.h"

#include <array>
#include <cstdlib>

std::vector<uint8_t> MakePayload(PeerKind kind, uint32_t seq, uint32_t size) {
  std::vector<uint8_t> payload(size);
  for (uint32_t i = 0; i < size; ++i) {
    const uint32_t mixed = seq * 131u + i * 7u + (i >> 8);
    payload[i] = kind == PeerKind::kSample ? static_cast<uint8_t>(mixed)
                                           : static_cast<uint8_t>('a' + mixed % 26u);
  }
  return payload;
}

std::string ComposeChatterText(uint32_t seq, const std::vector<uint8_t>& payload) {
  std::string text = std::to_string(seq) + ":";
  text.append(payload.begin(), payload.end());
  return text;
}

bool SplitChatterText(const std::string& text, uint32_t* seq, std::vector<uint8_t>* payload) {
  const size_t colon = text.find(':');
  if (colon == 0 || colon == std::string::npos || colon > 10) return false;
  uint64_t value = 0;
  for (size_t i = 0; i < colon; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (value > UINT32_MAX) return false;
  *seq = static_cast<uint32_t>(value);
  payload->assign(text.begin() + static_cast<std::ptrdiff_t>(colon) + 1, text.end());
  return true;
}

uint32_t Crc32(const uint8_t* data, size_t size) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> entries{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entries[n] = c;
    }
    return entries;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}
