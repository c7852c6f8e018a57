// The sequences of lent samples.

#include "middleware/common/sequences.h"

#include "middleware/dds_entities_internal.h"

using corvane_dds::AdoptFromCaller;
using corvane_dds::ReleaseToCaller;

dds_DataSeq::~dds_DataSeq() {
  if (loan) loan->Return();
}

dds_DataSeq* dds_DataSeq_create(uint32_t maximum) {
  auto seq = std::make_unique<dds_DataSeq>();
  seq->buffers.reserve(maximum);
  seq->origins.reserve(maximum);
  return ReleaseToCaller(std::move(seq));
}

uint32_t dds_DataSeq_length(const dds_DataSeq* seq) {
  return seq == nullptr ? 0 : static_cast<uint32_t>(seq->buffers.size());
}

void* dds_DataSeq_get(const dds_DataSeq* seq, uint32_t index) {
  if (seq == nullptr || index >= seq->buffers.size()) return nullptr;
  return seq->buffers[index];
}

void dds_DataSeq_delete(dds_DataSeq* seq) {
  AdoptFromCaller(seq);
}

dds_SampleInfoSeq* dds_SampleInfoSeq_create(uint32_t maximum) {
  auto seq = std::make_unique<dds_SampleInfoSeq>();
  seq->infos.reserve(maximum);
  return ReleaseToCaller(std::move(seq));
}

dds_SampleInfo* dds_SampleInfoSeq_get(const dds_SampleInfoSeq* seq, uint32_t index) {
  if (seq == nullptr || index >= seq->infos.size()) return nullptr;
  return const_cast<dds_SampleInfo*>(&seq->infos[index]);
}

void dds_SampleInfoSeq_delete(dds_SampleInfoSeq* seq) {
  AdoptFromCaller(seq);
}

dds_UnsignedLongSeq* dds_UnsignedLongSeq_create(uint32_t maximum) {
  auto seq = std::make_unique<dds_UnsignedLongSeq>();
  seq->values.reserve(maximum);
  return ReleaseToCaller(std::move(seq));
}

uint32_t dds_UnsignedLongSeq_get(const dds_UnsignedLongSeq* seq, uint32_t index) {
  if (seq == nullptr || index >= seq->values.size()) return 0;
  return seq->values[index];
}

void dds_UnsignedLongSeq_delete(dds_UnsignedLongSeq* seq) {
  AdoptFromCaller(seq);
}
