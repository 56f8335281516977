/* le_core: whole-clip batch rendering.
 *
 * A stream owns its own session over one bundle (model key "render") and the
 * bundle's face-conditioned delta model (fca_stream.onnx). le_stream_run takes
 * a whole clip of mono speech at 16 000 Hz, computes one expression delta per
 * 640 samples, and delivers every finished RGB24 frame (le_stream_width x
 * le_stream_height x 3 bytes) in order through a callback on the calling
 * thread, while a render thread prepares up to four crops ahead.
 *
 * Driver frames are walked from 0 upwards, wrapping at the driver's frame
 * count; every run starts again at driver frame 0. The first `skip` frames of
 * a run are computed but not delivered; `gain` scales every delta.
 *
 * A stream is used by one thread at a time. Failures return the documented
 * value and leave a message for le_stream_last_error(), read on the calling
 * thread. */
#ifndef LE_LE_STREAM_H
#define LE_LE_STREAM_H

#include <stddef.h>
#include <stdint.h>

#include "le/le_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_stream le_stream;

/* Called once per delivered frame: index counts delivered frames from 0; rgb
 * is width x height x 3 bytes, valid only during the call. Return 0 to go on;
 * any other value ends the run after this frame (le_stream_run then returns
 * index + 1). */
typedef int (*le_stream_frame_fn)(void* user, int index, const uint8_t* rgb, int width,
                                  int height);

/* Opens bundle (a directory or a container) with the speech frontend model at
 * frontend_onnx. threads < 1 sizes the pool automatically; above
 * LE_MAX_THREADS is refused. skip must be >= 0 and gain finite. Null on
 * failure. */
LE_API le_stream* le_stream_create(const char* bundle, const char* frontend_onnx, int threads,
                                   int skip, float gain);

/* Renders count samples (count >= 0; samples may be null only when count is
 * 0; every sample finite) and calls cb (may be null) for every delivered
 * frame. Returns the number of frames delivered, or -1 on failure: frames
 * already delivered stay delivered. */
LE_API int le_stream_run(le_stream* s, const float* samples, int count, le_stream_frame_fn cb,
                         void* user);

/* Output frame size; 0 for null. */
LE_API int le_stream_width(const le_stream* s);
LE_API int le_stream_height(const le_stream* s);

/* This thread's last le_stream_ message (never null; empty after success). */
LE_API const char* le_stream_last_error(void);

/* Frees the delta model, the session and the handle; null is allowed. */
LE_API void le_stream_destroy(le_stream* s);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_STREAM_H */
