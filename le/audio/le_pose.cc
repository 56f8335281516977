#include <algorithm>
#include <cmath>

#include "le/audio/motion_files.h"
#include "le/audio/pose.h"

namespace le::motion {
namespace {

constexpr int kLips[] = {6, 12, 14, 17, 19, 20};

void place(const float* canon, const float* exp, const double R[9], float scale, const float* t,
           float* out) {
  for (int k = 0; k < 21; ++k) {
    const float* c = canon + 3 * k;
    for (int j = 0; j < 3; ++j) {
      const double cr = c[0] * R[j] + c[1] * R[3 + j] + c[2] * R[6 + j];
      // z is never translated
      const double shift = j < 2 ? t[j] : 0.0;
      out[3 * k + j] = static_cast<float>(scale * (cr + exp[3 * k + j]) + shift);
    }
  }
}

}  // namespace

double bin66(const float* logits) {
  double mx = logits[0];
  for (int i = 1; i < 66; ++i) mx = std::max(mx, double(logits[i]));
  double sum = 0.0, e = 0.0;
  for (int i = 0; i < 66; ++i) {
    const double p = std::exp(double(logits[i]) - mx);
    sum += p;
    e += p * i;
  }
  return 3.0 * (e / sum) - 97.5;
}

void poseToR(double a, double b, double c, double R[9]) {
  constexpr double kRad = 3.14159265358979323846 / 180.0;
  const double s1 = std::sin(a * kRad), c1 = std::cos(a * kRad);
  const double s2 = std::sin(b * kRad), c2 = std::cos(b * kRad);
  const double s3 = std::sin(c * kRad), c3 = std::cos(c * kRad);
  R[0] = c2 * c3;
  R[1] = c2 * s3;
  R[2] = -s2;
  R[3] = s1 * s2 * c3 - c1 * s3;
  R[4] = c1 * c3 + s1 * s2 * s3;
  R[5] = s1 * c2;
  R[6] = c1 * s2 * c3 + s1 * s3;
  R[7] = c1 * s2 * s3 - s1 * c3;
  R[8] = c1 * c2;
}

void emitKeypoints(const float* S, const float* g, const float* gFirst, float lip,
                   float deltaPitch, float* xs, float* xd) {
  const double pitch = bin66(S + kRecPitch), roll = bin66(S + kRecRoll), yaw = bin66(S + kRecYaw);
  double R[9], Rd[9];
  poseToR(pitch, yaw, roll, R);
  poseToR(pitch + deltaPitch, yaw, roll, Rd);
  float e2[kExpDim];
  std::copy(S + kRecExp, S + kRecExp + kExpDim, e2);
  for (int k : kLips)
    for (int j = 0; j < 3; ++j) {
      const int i = 3 * k + j;
      e2[i] = S[kRecExp + i] + (g[i] - gFirst[i]) * lip;
    }
  const float scale = S[kRecScale];
  place(S + kRecCanon, S + kRecExp, R, scale, S + kRecT, xs);
  place(S + kRecCanon, e2, Rd, scale, S + kRecT, xd);
}

}  // namespace le::motion
