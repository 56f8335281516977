/* le_core: the live utterance pipeline.
 *
 * A host creates an le_utt on a session context, pushes 16-bit mono speech at
 * 16 000 Hz at any pace from one thread and pulls finished RGB24 frames (the
 * driver video's size) with their metadata from another. Idle frames follow
 * the driver video when nobody speaks; speech frames are rendered from the
 * audio engine's rows; a short ramp eases the face back to the driver pose
 * after an utterance or an interrupt. The output ring holds eight frames and
 * is the only pacing: the pipeline runs as fast as the host pulls.
 *
 * Every function may be called from any host thread. Failures return the
 * documented value and leave a message for le_utt_last_error(), read on the
 * calling thread.
 *
 * Order of teardown: le_utt_destroy comes before le_destroy of its context.
 * While a pipeline drives a context, the context's frame-level entry points
 * (render, paste, target frame) fail with "<function>: context in use by
 * le_utt", and a second le_utt_create on it fails. */
#ifndef LE_LE_UTT_H
#define LE_LE_UTT_H

#include <stddef.h>
#include <stdint.h>

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct le_utt le_utt;

/* Options of le_utt_create; zero means the default for every numeric field. */
typedef struct le_utt_opts {
  /* Directory of the audio models; required. */
  const char* motion_dir;
  /* Engine threads; below 1: the session's pool size. */
  int32_t threads;
  /* Execution provider for the motion generator; null: the CPU. */
  const char* ep;
  /* Chunk director graph; null or "": "b24_fp32"; "-": none.
   * LE_STEADY_MODEL overrides it. */
  const char* steady_model;
  /* -2: hybrid eager; 1 or more: fixed eager frames; otherwise hybrid when
   * LE_UTT_HYBRID asks for it, else no eager. */
  int32_t eager;
  /* Seconds of silence after which an utterance ends by itself; 0 or NaN:
   * 0.6; negative: never. */
  double gap_s;
  /* Frames of the ramp after an utterance; below 1: 6; above
   * LE_UTT_MAX_RAMP_FRAMES le_utt_create refuses. */
  int32_t ramp_frames;
  /* Frames of the ramp after an interrupt; below 1: 4; above
   * LE_UTT_MAX_RAMP_FRAMES le_utt_create refuses. */
  int32_t interrupt_ramp_frames;
} le_utt_opts;

/* Longest ramp (after an utterance or an interrupt), in frames: 10 s. */
#define LE_UTT_MAX_RAMP_FRAMES 250

/* Frame kinds. */
#define LE_UTT_IDLE 0
#define LE_UTT_SPEECH 1
#define LE_UTT_RAMP 2

/* Metadata of a pulled frame. */
typedef struct le_utt_frame_info {
  /* Delivery sequence number: 0, 1, 2 ... over the handle's life. */
  uint64_t sequence;
  /* LE_UTT_IDLE, LE_UTT_SPEECH or LE_UTT_RAMP. */
  int32_t kind;
  /* Driver video frame under the face. */
  int32_t driver_index;
  /* Index of the speech frame within its utterance; -1 for idle and ramp. */
  int32_t speech_number;
} le_utt_frame_info;

typedef struct le_utt_stats {
  /* Frames handed to the host, and of those the speech frames. */
  uint64_t frames_delivered;
  uint64_t speech_frames_delivered;
  /* Utterances whose first speech frame has been published. */
  uint64_t first_frames;
  /* ms from the first push of the latest such utterance to the publication of
   * its first speech frame. */
  double first_frame_latency_ms;
  /* Moving average of the per-frame director time, ms. */
  double render_ms;
  /* 0 idle, 1 utterance started, 2 speaking, 3 ramping back. */
  int32_t state;
} le_utt_stats;

/* Builds the pipeline on ctx and starts its threads; the audio engine warms up
 * in the background (see le_utt_ready). Null on failure. */
LE_API le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts);

/* le_utt_create with motion_dir and every other option zero. */
LE_API le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir);

/* 1 when the engine is installed, 0 while warming up, -1 for a null handle or
 * a failed warm-up (its message becomes this thread's last error). */
LE_API int le_utt_ready(le_utt* u);

/* Appends count samples (scaled by 1/32768). Returns 1; 0 for a null handle
 * or samples or a negative count, and 0 once the engine's warm-up has failed
 * ("le_utt_push_audio: " followed by the warm-up's message). A count of 0 is
 * accepted. */
LE_API int le_utt_push_audio(le_utt* u, const int16_t* samples, int count);

/* Marks the end of the current utterance, or of the one the waiting audio
 * starts; ignored when neither exists. Audio pushed after the mark starts the
 * next utterance. Null is ignored. */
LE_API void le_utt_end_utterance(le_utt* u);

/* Drops the waiting audio and every undelivered frame and eases back to the
 * driver pose from the last pulled frame. Null is ignored. */
LE_API void le_utt_interrupt(le_utt* u);

/* Frames ready in the output ring, 0 ... 8; 0 for null. */
LE_API int le_utt_frames_available(le_utt* u);

/* Copies the next frame (width x height x 3 bytes) into buf and fills info
 * when it is not null. 1 when a frame was copied, 0 when none is ready or on
 * failure; a capacity that is too small keeps the frame for the next call. */
LE_API int le_utt_pull_frame(le_utt* u, uint8_t* buf, size_t cap, le_utt_frame_info* info);

/* Fills stats; nothing for null arguments. */
LE_API void le_utt_get_stats(le_utt* u, le_utt_stats* stats);

/* 0, or -1 once a fatal render failure has been latched. Writes the failure
 * count (when not null) and the last failure message (at most size - 1 bytes,
 * always terminated; nothing for a null buffer or size < 1). */
LE_API int le_utt_render_status(le_utt* u, char* msg, int size, int* failures);

/* This thread's last le_utt_ message; never null, empty after a success. */
LE_API const char* le_utt_last_error(void);

/* ---- Teeth borrow.
 *
 * le_utt_tessera_attach arms the pipeline with a teeth borrow: every speech
 * and ramp crop gets borrowed teeth written into its mouth window, one frame
 * late (a crop waits for the next one, or for the idle frame that follows the
 * last one). The inputs are the four teeth members as le_tessera_members_open
 * hands them out, the bank track decoded and reordered into donor order:
 * track (n_donors x band_h x band_w x 3 bytes), cent (2 x n_donors), c_canon
 * (2), aperture (n_donors), stamp (12 values in stamp order), the head weights
 * file (head_pt_len bytes; a negative length counts as 0), the head
 * configuration text and the manifest text. The lip template the delivery
 * mask follows is the session's own (its manifest's lip template text,
 * lip_template.v1.json; without one the elliptical mask serves). The
 * geometry text is the stamp's text. n_donors must lie in 1..1024;
 * the bank canvas must be the session's render crop, and the motion
 * directory's xs_target.bin must hold one row per driver frame (the bank's
 * compose geometry is identified over it). Returns 0, or 1 with the message
 * in err (at most errlen - 1 bytes and a terminating zero; nothing for a null
 * err or errlen < 1; "" on success).
 *
 * A failed borrow stops delivery rather than show a crop without its teeth:
 * from then on no frame is delivered, idle frames included, until an attach
 * succeeds again (the recovery). Attaching again replaces the borrow; the old
 * one finishes the crop it holds. */
LE_API int le_utt_tessera_attach(le_utt* u, const uint8_t* track, int n_donors, const double* cent,
                                 const double* c_canon, const double* aperture, const int32_t* stamp,
                                 const uint8_t* head_pt, int head_pt_len, const char* head_json,
                                 const char* manifest_json, char* err, int errlen);

/* 0 when no borrow is attached (or u is null), 1 while it works, -1 once it
 * has failed. Writes the counts of borrowed crops and of failures (when not
 * null) and the last failure message (at most size - 1 bytes, terminated;
 * nothing for a null buffer or size < 1). */
LE_API int le_utt_tessera_stats(le_utt* u, int64_t* ok, int64_t* failures, char* msg, int size);

/* 1 and the attached bank's geometry stamp as text ("{canvas_w=512, ...}",
 * the twelve entries in stamp order); 0 and an empty text when no borrow is
 * attached; 0 and nothing written for a null buffer or size < 1. */
LE_API int le_utt_tessera_geometry(le_utt* u, char* buf, int size);

/* The synthetic-width measurement of the borrow: 1 with mean, last and count
 * once one exists. The stream borrow measures no synthetic width, so this
 * returns 0 and writes nothing. */
LE_API int le_utt_tessera_synth_w(le_utt* u, double* mean, double* last, int64_t* count);

/* Stops and joins the pipeline's threads and frees it; null is allowed.
 * Call it before le_destroy of the context. */
LE_API void le_utt_destroy(le_utt* u);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_UTT_H */
