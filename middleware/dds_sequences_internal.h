#ifndef CORVANE_MIDDLEWARE_DDS_SEQUENCES_INTERNAL_H_
#define CORVANE_MIDDLEWARE_DDS_SEQUENCES_INTERNAL_H_

// The sequences a take fills. Their storage is reserved once, at creation and
// when a take asks for more samples than ever before, so that steady-state
// takes allocate nothing.

#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>

#include <cstdint>
#include <vector>

#include "middleware/dds.h"
#include "middleware/dds_backlog_internal.h"
#include "middleware/dds_fastdds_internal.h"

struct dds_DataSeq {
  std::vector<void*> buffers;
  // The lent samples: one reference each, dropped by the return of the loan.
  // Sized to the take's limit; only the first buffers.size() are lent.
  std::vector<ddsi_serdata*> loans;
  // Samples taken from Fast DDS (their loans stay null), and the ones of
  // them handed out; reused from take to take.
  std::vector<corvane_dds::FastDdsSample> fast_samples;
  std::vector<const corvane_dds::FastDdsSample*> fast_kept;
  // What a take moved out of the reader's backlog; reused from take to take.
  std::vector<corvane_dds::BacklogSample> backlog_taken;
};

struct dds_SampleInfoSeq {
  std::vector<dds_SampleInfo> infos;
  // Cyclone's sample information, filled by the take and then translated.
  std::vector<dds_sample_info_t> scratch;
};

struct dds_UnsignedLongSeq {
  std::vector<uint32_t> values;
};

#endif  // CORVANE_MIDDLEWARE_DDS_SEQUENCES_INTERNAL_H_
