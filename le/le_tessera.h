/* le_core: the teeth borrow's bundle members.
 *
 * A bundle that borrows teeth carries four member files, one per slot:
 * "bank_track" (a video track, one frame per donor mouth patch),
 * "bank_sidecar" (its JSON description), "head_weights" (the blend head's
 * checkpoint) and "head_config" (its serve configuration). A manifest's
 * tessera.members object may rename them. The borrow is all or nothing: a
 * bundle missing any member is refused.
 *
 * A carriage reports which members a bundle carries without refusing
 * anything, so a host can say what is missing. le_tessera_members_open loads
 * and cross-checks all four; its accessors hand out pointers owned by the
 * handle, valid until le_tessera_members_close.
 *
 * Functions with err/errlen write a failure's message there: at most
 * errlen - 1 bytes and a terminating zero (nothing when err is null or
 * errlen < 1); on success err holds "". Handles are not locked: do not close
 * one while another thread reads it. */
#ifndef LE_LE_TESSERA_H
#define LE_LE_TESSERA_H

#include <stdint.h>

#include "le/le_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_tessera_carriage le_tessera_carriage;
typedef struct le_tessera_members le_tessera_members;

/* 4, and the slot keys in order; NULL for i outside 0..3. */
LE_API int le_tessera_slot_count(void);
LE_API const char* le_tessera_slot_key(int i);

/* What bundle_dir (a directory or a container) carries. NULL only for a NULL
 * argument or no memory; a bundle that cannot be resolved gives a carriage
 * missing all four members. */
LE_API le_tessera_carriage* le_tessera_carriage_open(const char* bundle_dir);
LE_API void le_tessera_carriage_close(le_tessera_carriage* c);
/* 1 when all four members are there; 0 otherwise or for NULL. */
LE_API int le_tessera_carriage_complete(const le_tessera_carriage* c);
/* 1 when the manifest holds a tessera object; 0 otherwise or for NULL. */
LE_API int le_tessera_carriage_declared(const le_tessera_carriage* c);
/* The resolved path of a slot key; "" for NULL or an unknown key. */
LE_API const char* le_tessera_carriage_path(const le_tessera_carriage* c, const char* slot);
/* Missing slot keys, in slot order; NULL when i is out of range. */
LE_API int le_tessera_carriage_missing_count(const le_tessera_carriage* c);
LE_API const char* le_tessera_carriage_missing(const le_tessera_carriage* c, int i);

/* Loads the four members of bundle_dir; NULL on failure with the message. */
LE_API le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, int errlen);
LE_API void le_tessera_members_close(le_tessera_members* m);

/* Accessors; 0, NULL or "" for a NULL handle. */
LE_API int le_tessera_members_n_donors(const le_tessera_members* m);
/* 2 x n_donors: x0, y0, x1, y1, ... */
LE_API const double* le_tessera_members_cent(const le_tessera_members* m);
/* 2: the bank's canonical mouth centroid (x, y). */
LE_API const double* le_tessera_members_c_canon(const le_tessera_members* m);
/* n_donors mouth apertures. */
LE_API const double* le_tessera_members_aperture(const le_tessera_members* m);
/* 12: canvas_w, canvas_h, window_x0, window_y0, window_w, window_h, pad,
 * band_r0, band_r1, band_c0, band_c1, shift_margin. */
LE_API const int* le_tessera_members_stamp(const le_tessera_members* m);
/* The head weights file, head_pt_len bytes. */
LE_API const uint8_t* le_tessera_members_head_pt(const le_tessera_members* m);
LE_API int le_tessera_members_head_pt_len(const le_tessera_members* m);
LE_API const char* le_tessera_members_head_json(const le_tessera_members* m);
LE_API const char* le_tessera_members_manifest_json(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_track_path(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_container(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_codec(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_packing(const le_tessera_members* m);
/* The stored patch of a donor: band_w x band_h RGB24. */
LE_API int le_tessera_members_band_w(const le_tessera_members* m);
LE_API int le_tessera_members_band_h(const le_tessera_members* m);
/* n_donors x band_h x band_w x 3. */
LE_API uint64_t le_tessera_members_band_bytes(const le_tessera_members* m);

/* Copies bank frames in track order (track, band_bytes) into donor order
 * (donor, band_bytes); the buffers must not overlap. 0 on success, 1 on
 * failure with the message. */
LE_API int le_tessera_members_reorder(const le_tessera_members* m, const uint8_t* track,
                                      uint8_t* donor, char* err, int errlen);

/* The teeth pass over a batch of rendered frames, built and dropped within
 * the call. Arrays, in the layouts of the accessors above:
 *   track      n_donors patches of band_h x band_w x 3 bytes, donor order
 *   cent       2 x n_donors; c_canon 2; aperture n_donors; stamp 12
 *   head_pt    head_pt_len bytes of the head weights file (a negative length
 *              counts as 0); head_json its configuration text
 *   frames     n_frames canvas images, canvas_w x canvas_h x 3 bytes each
 *   masks      n_frames delivery masks, canvas_w x canvas_h bytes each
 *   shifts     NULL, or n_frames pairs (dy, dx); a pair whose first value is
 *              -10000 asks the pass to derive that frame's shift from its mask
 *   out_windows      n_frames x window_w x window_h x 3 bytes
 *   out_passthrough  n_frames int32: 1 for a frame passed through (its window
 *              slot is left untouched), 0 for one whose window was written
 * n_donors must lie within 1..1024 and n_frames must not be negative.
 * 0 on success; 1 on failure with the message in err. */
LE_API int le_tessera_run_shift(const uint8_t* track, int n_donors, const double* cent,
                                const double* c_canon, const double* aperture, const int32_t* stamp,
                                const uint8_t* head_pt, int64_t head_pt_len, const char* head_json,
                                const uint8_t* frames, const uint8_t* masks, const int32_t* shifts,
                                int n_frames, uint8_t* out_windows, int32_t* out_passthrough,
                                char* err, int errlen);
/* le_tessera_run_shift with shifts NULL: every shift derived from its mask. */
LE_API int le_tessera_run(const uint8_t* track, int n_donors, const double* cent,
                          const double* c_canon, const double* aperture, const int32_t* stamp,
                          const uint8_t* head_pt, int64_t head_pt_len, const char* head_json,
                          const uint8_t* frames, const uint8_t* masks, int n_frames,
                          uint8_t* out_windows, int32_t* out_passthrough, char* err, int errlen);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_TESSERA_H */
