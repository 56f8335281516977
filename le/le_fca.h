/* le_core: face-conditioned audio deltas for a whole clip.
 *
 * One 63-value expression delta per 640 samples (25 fps at 16 kHz) for a
 * whole clip at once: speech features from an 8-second frontend model,
 * normalised causally with an energy gate, then a recurrent delta model
 * stepped once per frame over a seven-frame window. Messages for
 * le_fca_last_error() are per thread. A handle is used by one thread at a
 * time; handles share nothing. */
#ifndef LE_LE_FCA_H
#define LE_LE_FCA_H

#include <stddef.h>
#include <stdint.h>

#include "le/le_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_fca le_fca;

/* Opens the frontend model (input_values [1, 128000] -> audio_emb 12 x 200 x
 * 768) and the delta model (cond, prev, h -> m, hn). threads < 1 uses the
 * worker-pool size; above LE_MAX_THREADS is refused. Null on failure. */
LE_API le_fca* le_fca_create(const char* frontend_onnx, const char* delta_onnx, int threads);

/* Writes F = ceil(count / 640) rows of 63 floats to out and returns F; 0 for
 * count < 1; -1 when F > max_frames (nothing written, no message) or on
 * failure (message set; a sample that is not finite is one). Every call
 * starts from a zero state. */
LE_API int le_fca_deltas(le_fca* h, const float* samples, int count, float* out, int max_frames);

/* This thread's last le_fca_ message (never null; empty after success). */
LE_API const char* le_fca_last_error(void);

/* Frees the handle and its sessions; null is allowed. */
LE_API void le_fca_destroy(le_fca* h);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_FCA_H */
