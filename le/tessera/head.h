// The blend head's weights, read from its checkpoint (a zip of a pickled
// float32 state dictionary) without executing anything, and its serve
// configuration, read from the head JSON.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace le::tessera {

// Ten row-major float32 tensors; weights are [out, in, kernel row, kernel
// column]. The four syn arrays are empty for the BlendHead8(16) head.
struct HeadWeights {
  std::vector<float> cand0W, cand0B;  // [16, 7, 3, 3], [16]
  std::vector<float> cand2W, cand2B;  // [16, 16, 3, 3], [16]
  std::vector<float> cand4W, cand4B;  // [1, 16, 3, 3], [1]
  std::vector<float> syn0W, syn0B;    // [16, 3, 3, 3], [16]
  std::vector<float> syn2W, syn2B;    // [1, 16, 3, 3], [1]

  // Total element count: 4082 for BlendHead(16), 3489 for BlendHead8(16).
  int64_t params() const;
};

// One tensor of the state dictionary: its checkpoint name, shape and field.
struct HeadTensor {
  const char* name;
  std::vector<int64_t> shape;
  std::vector<float> HeadWeights::*field;
};
// The ten tensors in field order (cand first).
const std::array<HeadTensor, 10>& headTensors();

// Reads a checkpoint held whole in memory; throws std::runtime_error naming
// what is refused ("teeth: head .pt ...").
HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes);

// How the teeth pass retrieves and steadies donors; the head JSON sets the
// first six, the teeth-pixel mask values are fixed.
struct ServeConfig {
  int32_t kshort = 512;
  double aperture_tol = 0.3;
  int32_t cut = 96;
  int32_t K = 64;
  int32_t hysteresis = 8;
  int32_t lookahead = 8;
  double teethLumaMin = 100.0;
  double teethGreenRedMax = 25.0;
  int32_t teethMinPixels = 32;
  double maskDecay = 0.6;
  bool fromHead = true;  // the teeth pass uses its look-ahead only when set

  // The head configuration member's text; throws std::runtime_error.
  static ServeConfig fromHeadMemberJson(const std::string& text);
};

}  // namespace le::tessera
