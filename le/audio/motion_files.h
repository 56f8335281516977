// The motion directory: meta.json and the raw float32 tables, each holding
// exactly the count the meta implies.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace le::motion {

inline constexpr int kMel = 80;
inline constexpr int kMelFrames = 21;
inline constexpr int kFftBins = 257;
inline constexpr int kStudentVecs = 20;
inline constexpr int kAudioDim = 1024;
inline constexpr int kFeatDim = 1103;  // 1024 audio + 8 emo + 2 eye open + 6 eye ball + 63 canonical
inline constexpr int kMotionDim = 265;
inline constexpr int kSmoothDim = 202;
inline constexpr int kExpDim = 63;
inline constexpr int kRecord = 328;

// Source record layout (floats).
inline constexpr int kRecExp = 0;
inline constexpr int kRecCanon = 63;
inline constexpr int kRecPitch = 126;
inline constexpr int kRecRoll = 192;
inline constexpr int kRecScale = 258;
inline constexpr int kRecT = 259;
inline constexpr int kRecYaw = 262;

inline constexpr int64_t kMaxCount = 1000000;

struct MotionMeta {
  int64_t nt = 0;
  int64_t nSrc = 0;
  int64_t nEmo = 0;
  float sBridge = 1.0f;
  float deltaPitch = 0.0f;
};

// Keys are found as the quoted key, blanks, a colon and a number. Throws
// "meta.json: missing <key>" / "meta.json: bad <key>"; counts must be whole
// numbers in [1, 10^6], s_bridge and delta_pitch finite.
MotionMeta parseMotionMeta(std::string_view text);

// Reads exactly `count` float32 values: "<path>: <found> floats, expected
// <count>", "cannot open <path>", "short read <path>".
std::vector<float> readExactFloats(const std::string& path, int64_t count);

struct MotionTables {
  MotionMeta meta;
  std::vector<float> window;     // 512
  std::vector<float> binmat;     // 257 x 80, a row per bin
  std::vector<float> fmean, fstd;  // 1024 each
  std::vector<float> emo;        // nEmo x 8
  std::vector<float> chInfo;     // 328
  std::vector<float> chSc;       // 63
  std::vector<float> eyeOpen;    // 2
  std::vector<float> eyeBall;    // 6
  std::vector<float> vMinMax;    // 2 x 265
  std::vector<float> srcInfo;    // nt x 328
  std::vector<float> xsTarget;   // nt x 63
};

// Loads every table of dir; the count rule applies to each. xs_target.bin is
// located through the bundle's member names.
MotionTables loadMotionTables(const std::string& dir);

}  // namespace le::motion
