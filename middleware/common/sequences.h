// The sequences a take fills and the return of the loan empties.
#ifndef CORVANE_MIDDLEWARE_COMMON_SEQUENCES_H_
#define CORVANE_MIDDLEWARE_COMMON_SEQUENCES_H_

// Their storage is reserved once, at creation and when a take asks for more
// samples than ever before, so that steady-state takes allocate nothing.

#include <cstdint>
#include <memory>
#include <vector>

#include "middleware/common/engine.h"
#include "middleware/dds.h"

struct dds_DataSeq {
  ~dds_DataSeq();  // returns a loan still out
  std::vector<void*> buffers;
  // Element i is where sample i came from; its information points at it.
  std::vector<dds_SampleOrigin> origins;
  // What the engine of the last take lent; reused from take to take.
  std::unique_ptr<corvane_dds::Loan> loan;
};

struct dds_SampleInfoSeq {
  std::vector<dds_SampleInfo> infos;
};

struct dds_UnsignedLongSeq {
  std::vector<uint32_t> values;
};

namespace corvane_dds {

// The three sequences of one take, filled by the engine. Room for `limit`
// samples is reserved before the engine adds any, so the origins that the
// sample information points at never move.
struct LentSamples {
  dds_DataSeq* data;
  dds_SampleInfoSeq* infos;
  dds_UnsignedLongSeq* sizes;
  uint32_t limit;
  // Appends one sample; `info.origin` is set to the stored `origin`.
  void Add(const void* bytes, uint32_t size, dds_SampleInfo info, const dds_SampleOrigin& origin) {
    data->origins.push_back(origin);
    info.origin = &data->origins.back();
    data->buffers.push_back(const_cast<void*>(bytes));
    sizes->values.push_back(size);
    infos->infos.push_back(info);
  }
  uint32_t count() const { return static_cast<uint32_t>(data->buffers.size()); }
};

// The loan of `seq` as the engine's own kind `EngineLoan`; a loan of another
// engine, returned already, is replaced.
template <typename EngineLoan>
EngineLoan& LoanIn(dds_DataSeq* seq) {
  auto* loan = dynamic_cast<EngineLoan*>(seq->loan.get());
  if (loan != nullptr) return *loan;
  auto fresh = std::make_unique<EngineLoan>();
  loan = fresh.get();
  seq->loan = std::move(fresh);
  return *loan;
}

}  // namespace corvane_dds

#endif  // CORVANE_MIDDLEWARE_COMMON_SEQUENCES_H_
