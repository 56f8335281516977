/* le_core: C interface conventions, bundle resolution and the prior reader.
 *
 * Every le_ function reports failure through a documented return value and a
 * per-thread, per-family last-error text; no C++ exception crosses this
 * interface. Functions of this family leave their message for le_last_error(),
 * read on the thread that made the call. */
#ifndef LE_LE_H
#define LE_LE_H

#include <stddef.h>

#if defined(LE_BUILDING_LIBRARY)
#define LE_API __attribute__((visibility("default")))
#else
#define LE_API
#endif

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

/* Resolves a bundle path (a directory, or an IMX container unwrapped on first
 * use) into its bundle directory, written NUL-terminated into out.
 * Returns 1 on success, -1 on failure (out emptied when cap > 0). */
LE_API int le_bundle_resolve_handle(const char* path, char* out, size_t cap);

/* Resolves a member name inside a bundle, accepting older member names.
 * Returns 1 when the resolved member exists, 0 when it does not (its path is
 * still written to out), -1 on failure. */
LE_API int le_bundle_resolve_member(const char* bundle, const char* member, char* out,
                                    size_t cap);

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
