// Arms a live pipeline with a teeth borrow built from the members a host
// loaded: the stream borrow over the bank, head and compose geometry, adapted
// to the pipeline's borrow stage.
#pragma once

#include <cstdint>

#include "le/pipeline/pipeline.h"

namespace le::utt {

// The host's attach arguments, as given (pointers checked non-null by the
// caller, n_donors in 1..1024).
struct TesseraAttach {
  const uint8_t* track = nullptr;  // n_donors x band_h x band_w x 3, donor order
  int32_t nDonors = 0;
  const double* cent = nullptr;      // 2 x n_donors
  const double* cCanon = nullptr;    // 2
  const double* aperture = nullptr;  // n_donors
  const int32_t* stamp = nullptr;    // 12, stamp order
  const uint8_t* headPt = nullptr;
  int32_t headPtLen = 0;  // negative counts as 0
  const char* headJson = nullptr;
  const char* manifestJson = nullptr;
};

// Refuses a bank canvas other than the render crop and a pipeline without
// xs_target rows, builds the borrow (stamp validated before any size is
// computed) and installs it. Throws std::runtime_error
// "le_utt_tessera_attach: <reason>".
void attachTessera(Pipeline& p, const TesseraAttach& in);

}  // namespace le::utt
