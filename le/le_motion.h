/* le_core: the motion generator.
 *
 * Turns 16 kHz mono speech into one frame per 640 samples (25 fps): the
 * driver-video frame index, that frame's target keypoints and the driven
 * keypoints whose lips follow the audio while the head pose stays the driver
 * frame's. Same calling order as le_a2x: reset (or a fresh handle), push and
 * avail/pull as audio arrives, finish, then pull until avail is 0 and the
 * pulled count equals le_motion_total.
 *
 * Failures return the documented value and leave a message for
 * le_motion_last_error(), read on the calling thread. A handle is used by one
 * thread at a time. */
#ifndef LE_LE_MOTION_H
#define LE_LE_MOTION_H

#include <stddef.h>
#include <stdint.h>

#include "le/le_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_motion le_motion;

/* Opens the motion directory (meta.json, the raw tables, hubert_student.onnx,
 * lmdm.onnx, stitch.onnx, xs_target.bin). threads > 0 fixes the intra-op
 * thread count (at most LE_MAX_THREADS, else refused; 0 or less: the
 * worker-pool size); ep null or "" runs on the CPU,
 * "coreml[:cpu|gpu|ane|all]" asks for CoreML. Null on failure. */
LE_API le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep);

/* Appends count samples (float, nominally in [-1, 1]). 1 on success (count 0
 * included); 0 for a null handle or samples, a negative count, a sample that
 * is not finite, or after le_motion_finish. */
LE_API int le_motion_push(le_motion* m, const float* samples, int count);

/* Marks the audio complete and computes everything that is left. */
LE_API void le_motion_finish(le_motion* m);

/* Frames ready to pull now (computing what the audio allows first); 0 on
 * failure or for a null handle. */
LE_API int le_motion_avail(le_motion* m);

/* Writes up to n frames: driver indices, source rows (n x 63 floats) and
 * driven rows (n x 63 floats). Returns the count written, 0 on failure. */
LE_API int le_motion_pull(le_motion* m, int* idx, float* src_rows, float* drv_rows, int n);

/* ceil(samples / 640) once finished; -1 before le_motion_finish or for null. */
LE_API int le_motion_total(le_motion* m);

/* Driver frame count of the motion directory; 0 for null. */
LE_API int le_motion_nt(le_motion* m);

/* Starts a new utterance at driver frame start (clamped to the table), walking
 * forward (direction >= 0) or backward, wrapping when loop is nonzero and
 * bouncing at the ends otherwise. Null is ignored. */
LE_API void le_motion_reset(le_motion* m, int start, int direction, int loop);

/* frames > 0 lets avail hand out frames computed on incomplete audio; they are
 * recomputed when the rest of their audio arrives. 0 turns it off. */
LE_API void le_motion_set_eager(le_motion* m, int frames);

/* This thread's last le_motion_ message (never null; empty after success). */
LE_API const char* le_motion_last_error(void);

/* Frees the handle; null is allowed. */
LE_API void le_motion_destroy(le_motion* m);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_MOTION_H */
