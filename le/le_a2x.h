/* le_core: streaming audio-to-expression.
 *
 * Speech (mono float32, 16 000 samples per second, 640 samples per frame)
 * goes in; per frame comes out a driver-frame index, the bundle's target
 * keypoint row of that frame and the driven row (target plus the predicted
 * expression delta), 63 floats each.
 *
 * Before le_a2x_finish only whole blocks of 5120 samples (8 frames) are used,
 * and a hold-back of look-ahead frames is kept; after it every frame is ready.
 * Outputs do not depend on how the audio was split into pushes: the same
 * sequence of le_a2x_avail / le_a2x_pull calls made at the same block
 * boundaries gives identical rows however the pushes between them were cut.
 *
 * A handle is used by one thread at a time. Every function leaves its failure
 * message for le_a2x_last_error(), read on the calling thread. */
#ifndef LE_LE_A2X_H
#define LE_LE_A2X_H

#include <stddef.h>

#include "le/le_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_a2x le_a2x;

/* This thread's last message of the le_a2x_ family: never null, empty after a
 * successful call. */
LE_API const char* le_a2x_last_error(void);

/* Opens the streaming engine of a model directory (a2x_meta.json, a2x_pos.f32,
 * a2x_norm.f32, a2x_enc_stream.onnx, a2x_dec.onnx, xs_target.bin) with the
 * frontend named by $W2V_ONNX. threads <= 0 sizes it from the worker pool.
 * Null on failure. */
LE_API le_a2x* le_a2x_create(const char* model_dir, int threads);

/* Frees the handle; null is allowed. The shared frontend stays loaded. */
LE_API void le_a2x_destroy(le_a2x* a);

/* Appends n samples. Returns 1; n < 1 is a no-op. After le_a2x_finish it
 * returns 0 ("le_a2x_push: already finished"); bad arguments and a sample
 * that is not finite (NaN, infinity) return 0, nothing appended. */
LE_API int le_a2x_push(le_a2x* a, const float* samples, int n);

/* Marks the audio complete: every frame becomes ready. 1, or 0 for null. */
LE_API int le_a2x_finish(le_a2x* a);

/* Frames ready to pull, computing more first when needed; -1 for null. */
LE_API int le_a2x_avail(le_a2x* a);

/* Writes up to n frames: driver indices, target rows and driven rows
 * (n x 63 floats each). Returns the frames written (0 for n = 0), -1 on bad
 * arguments (a null handle or buffer, n < 0). */
LE_API int le_a2x_pull(le_a2x* a, int* idx, float* src_rows, float* drv_rows, int n);

/* As le_a2x_pull, plus one width value per frame (0 without a width output). */
LE_API int le_a2x_pull_wn(le_a2x* a, int* idx, float* src_rows, float* drv_rows,
                              float* wn, int n);

/* ceil(samples / 640) once finished, else -1. */
LE_API int le_a2x_total(le_a2x* a);

/* 1 when the encoder has a width output, else 0. */
LE_API int le_a2x_width(le_a2x* a);

/* Rows of the target table (NT); 0 for null. */
LE_API int le_a2x_nt(le_a2x* a);

/* Starts a new utterance. start < 0 continues the index sequence where the
 * last pull stopped; direction < 0 walks the driver backwards; loop != 0
 * wraps around, else the walk bounces at both ends. 1, or 0 for null. */
LE_API int le_a2x_reset(le_a2x* a, int start, int direction, int loop);

/* Stores a scheduling hint; it does not change the rows. 1, or 0 for null. */
LE_API int le_a2x_set_eager(le_a2x* a, int eager);

/* Whole-clip deltas of n samples, independent of the streaming state:
 * writes ceil(n / 640) rows of 63 floats and returns that count; -2 when it
 * exceeds max_frames (nothing written), -1 on failure (a sample that is not
 * finite among them). */
LE_API int le_a2x_deltas(le_a2x* a, const float* samples, int n, float* out,
                             int max_frames);

/* As le_a2x_deltas plus one width value per frame; -3 when the encoder has no
 * width output. */
LE_API int le_a2x_deltas_wn(le_a2x* a, const float* samples, int n, float* out,
                                float* wn, int max_frames);

/* Loads the process-wide frontend from path (null or "": $W2V_ONNX).
 * 1 when it is loaded, else 0. The first loaded model stays for the process. */
LE_API int le_a2x_preload_w2v(const char* path);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_A2X_H */
