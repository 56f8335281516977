/* le_core: C interface conventions, bundle resolution and the prior reader.
 *
 * Every le_ function reports failure through a documented return value and a
 * per-thread, per-family last-error text; no C++ exception crosses this
 * interface. Functions of this family leave their message for le_last_error(),
 * read on the thread that made the call. */
#ifndef LE_LE_H
#define LE_LE_H

#include <stddef.h>
#include <stdint.h>

#include "le/le_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* This thread's last message of the le_ family: never null, empty when the
 * last call of the family succeeded. Valid until the next call of the family
 * on this thread. */
LE_API const char* le_last_error(void);

/* Rows of a keypoint set crossing the interface: 21 keypoints of (x, y, z)
 * float32, 63 floats row-major. */
LE_API int le_host_kp_rows(void);

/* The library's version text ("MAJOR.MINOR.PATCH"); static, never null. */
LE_API const char* le_version(void);

/* Levels of a diagnostic line. */
#define LE_LOG_ERROR 1
#define LE_LOG_WARNING 2
#define LE_LOG_INFO 3

/* Receives one diagnostic line: its level, its text without the newline, and
 * the user pointer given to le_log_set. */
typedef void (*le_log_fn)(int level, const char* line, void* user);

/* Routes every diagnostic line of the library (the bracketed "[le]",
 * "[le-driver]", "[le_a2x]", ... lines, and onnxruntime's own warnings and
 * errors as "[onnxruntime] ..." lines without colour codes; onnxruntime's
 * info lines too, at LE_LOG_INFO, but only to a sink set here, never to
 * standard error) to fn, called on
 * whichever thread logs, one line at a time. Null restores the default:
 * standard error, each line followed by a newline. When le_log_set returns,
 * the previous sink is not being called and its user data may be freed. A
 * line that fn itself logs goes to standard error. FFmpeg's own messages
 * (av_log) come through the sink as "[ffmpeg] ..." lines once the library
 * opens a video or le_log_set is called: the library installs FFmpeg's log
 * callback; FFmpeg's level (av_log_set_level) still decides what is said. */
LE_API void le_log_set(le_log_fn fn, void* user);

/* Resolves a bundle path (a directory, or an IMX container unwrapped on first
 * use) into its bundle directory, written NUL-terminated into out.
 * Returns 1 on success, -1 on failure (out emptied when cap > 0). The unwrap
 * is safe between threads and between processes: one unwraps while the others
 * wait on an advisory lock beside the unwrap directory, then reuse its work;
 * an unwrap cut short (a killed process) is redone by the next caller. A
 * directory in the way that is not an unwrap of this container is never
 * removed: the call fails instead. */
LE_API int le_bundle_resolve_handle(const char* path, char* out, size_t cap);

/* Resolves a member name inside a bundle, accepting older member names.
 * Returns 1 when the resolved member is a regular file that opens for
 * reading, 0 when it is not (missing, a FIFO, a device; its path is
 * still written to out), -1 on failure. A name that leads outside the bundle
 * (an absolute path, a ".." above it, a symbolic link whose target lies
 * outside) is a failure naming the member. */
LE_API int le_bundle_resolve_member(const char* bundle, const char* member, char* out,
                                    size_t cap);

/* Largest thread count any create function accepts (the worker pool's
 * ceiling); a larger one is refused. */
#define LE_MAX_THREADS 256

/* Session context: one opened bundle (manifest, mapped priors, drive tables,
 * driver-video cursor, compositor, and the director built on first render).
 * Not safe for concurrent calls; different contexts are independent. */
typedef struct le_ctx le_ctx;

/* Opens a bundle (a directory or an IMX container) for the director model
 * model_key. threads > 0 fixes the director's thread count (at most
 * LE_MAX_THREADS); 0 or less sizes it from the worker pool. ep selects an
 * execution provider; null or "" is the CPU. Null on failure (le_last_error
 * tells why). Free with le_destroy. Every file the bundle's manifest names
 * must lie inside the bundle and be a regular file. */
LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads,
                         const char* ep);

/* Stops the driver-video thread and frees everything the context owns; null is
 * allowed. Every pointer the context handed out becomes invalid. */
LE_API void le_destroy(le_ctx* ctx);

/* Driver frame count, frame height and width, crop side, drive-table entry
 * count. 0 for a null context. */
LE_API int le_nt(const le_ctx* ctx);
LE_API int le_height(const le_ctx* ctx);
LE_API int le_width(const le_ctx* ctx);
LE_API int le_crop(const le_ctx* ctx);
LE_API int le_drive_frames(const le_ctx* ctx);

/* Driver frame si (0 <= si < NT) as RGB24, height x width x 3 bytes, owned by
 * the context and valid until its next frame pull. Null on failure. */
LE_API const uint8_t* le_target_frame(le_ctx* ctx, int si);

/* Renders the director crop of source frame si from source keypoints ks and
 * driving keypoints kd (63 floats each, every value finite and within
 * +-1e6; the first other one is refused by row and column). Returns three
 * float planes R, G, B of crop x crop, owned by the context and valid until
 * its next render; null on failure. The crop is kept as the context's last
 * crop. */
LE_API const float* le_render_kp_crop(le_ctx* ctx, int si, const float* ks, const float* kd);

/* le_render_kp_crop with drive-table entry i (0 <= i < le_drive_frames):
 * its source index and keypoint rows. */
LE_API const float* le_render_drive_crop(le_ctx* ctx, int i);

/* Pastes crop (3 float planes of crop x crop, e.g. as returned by a render,
 * every value finite) into driver frame si, written as RGB24 into out
 * (out_bytes >= height x width x 3). Returns 1, or 0 on failure. */
LE_API int le_paste_crop(le_ctx* ctx, int si, const float* crop, uint8_t* out,
                         size_t out_bytes);

/* Pastes the last rendered crop into driver frame si. Returns the RGB24 frame
 * (height x width x 3), owned by the context and overwritten by its next
 * le_paste_last; null on failure or before any render. */
LE_API const uint8_t* le_paste_last(le_ctx* ctx, int si);

/* Render then paste, delivered as RGBA with alpha 255 into out
 * (out_bytes >= width x height x 4). Returns 1, or 0 on failure; nothing is
 * written to out when a step fails, and the failing step's message is kept.
 * The size of out is checked after the render, so a short buffer still
 * replaces the last crop. The drive form uses entry i's source index. */
LE_API int le_render_kp_rgba(le_ctx* ctx, int si, const float* ks, const float* kd, uint8_t* out,
                             size_t out_bytes);
LE_API int le_render_drive_rgba(le_ctx* ctx, int i, uint8_t* out, size_t out_bytes);

/* Prior handle: reads decoded frames of a bundle's HEVC warp prior without a
 * session. One thread at a time per handle. */
typedef struct le_prior le_prior;

/* Opens the bundle's HEVC warp prior (a directory or an IMX container).
 * look_ahead < 1 means 2, history < 0 means 0. Null on failure. */
LE_API le_prior* le_prior_open(const char* bundle_dir, int look_ahead, int history);

/* Bytes of one row: three planes R, G, B of crop x crop binary16 values.
 * 0 for a null handle. */
LE_API size_t le_prior_row_bytes(const le_prior* prior);

/* Copies frame si (0 <= si < NT) into out, which holds cap bytes. Returns 1,
 * or 0 on failure. Rows read in order cost no seek. */
LE_API int le_prior_row(le_prior* prior, int si, void* out, size_t cap);

/* The decoder behind the handle, for logs; "" for a null handle, never null.
 * Valid until the handle is closed. */
LE_API const char* le_prior_backend(const le_prior* prior);

/* Stops the decoder and frees the handle; null is allowed. */
LE_API void le_prior_close(le_prior* prior);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_H */
