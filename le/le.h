/* le_core: C interface conventions and bundle resolution.
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

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_H */
