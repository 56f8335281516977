// Head pose from the driver frame's source record and the keypoint sets the
// stitcher sees.
#pragma once

namespace le::motion {

// Degrees from 66 bin logits: softmax, expected bin E, 3 E - 97.5.
double bin66(const float* logits);

// Row-major rotation for pitch a, yaw b, roll c in degrees.
void poseToR(double a, double b, double c, double R[9]);

// x_s and x_d (21 x 3 each) of one frame: S is the driver frame's source
// record, g and gFirst generated expressions (63), lip the lip factor.
void emitKeypoints(const float* S, const float* g, const float* gFirst, float lip,
                   float deltaPitch, float* xs, float* xd);

}  // namespace le::motion
