#include "middleware/dds_entities_internal.h"
#include "middleware/dds_sequences_internal.h"

using corvane_dds::AdoptFromCaller;
using corvane_dds::ReleaseToCaller;

dds_DataSeq* dds_DataSeq_create(uint32_t maximum) {
  auto seq = std::make_unique<dds_DataSeq>();
  seq->buffers.reserve(maximum);
  seq->loans.resize(maximum);
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
  if (seq == nullptr) return;
  // A loan that was never returned still holds its samples.
  for (size_t i = 0; i < seq->buffers.size(); i++) ddsi_serdata_unref(seq->loans[i]);
  AdoptFromCaller(seq);
}

dds_SampleInfoSeq* dds_SampleInfoSeq_create(uint32_t maximum) {
  auto seq = std::make_unique<dds_SampleInfoSeq>();
  seq->infos.reserve(maximum);
  seq->scratch.resize(maximum);
  return ReleaseToCaller(std::move(seq));
}

uint32_t dds_SampleInfoSeq_length(const dds_SampleInfoSeq* seq) {
  return seq == nullptr ? 0 : static_cast<uint32_t>(seq->infos.size());
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

uint32_t dds_UnsignedLongSeq_length(const dds_UnsignedLongSeq* seq) {
  return seq == nullptr ? 0 : static_cast<uint32_t>(seq->values.size());
}

uint32_t dds_UnsignedLongSeq_get(const dds_UnsignedLongSeq* seq, uint32_t index) {
  if (seq == nullptr || index >= seq->values.size()) return 0;
  return seq->values[index];
}

void dds_UnsignedLongSeq_delete(dds_UnsignedLongSeq* seq) {
  AdoptFromCaller(seq);
}
