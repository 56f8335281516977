/* le_core telemetry: a process-wide recorder of named metrics that the host
 * sets while it runs, turned into JSON snapshots together with a fixed
 * description of the machine and sent in batches when the host asks.
 *
 * Every function may be called from any thread. Nothing is recorded by the
 * library itself. Flushing needs LE_TEL_URL (scheme, host and port of the
 * ingest endpoint) and LE_TEL_TOKEN (the service token) in the environment. */
#ifndef LE_LE_TEL_H
#define LE_LE_TEL_H

#include "le/le_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sets the numeric metric key to value, replacing an earlier value. A null or
 * empty key is ignored. Known keys, listed first in a snapshot: "fps_ema",
 * "frames_total", "session_s", "load_ms", "thermal_state"; any other key lands
 * in the snapshot's "extra" object. Non-finite values are written as null. */
LE_API void le_tel_record(const char* key, double value);

/* Sets the text metric key to a copy of value. Ignored when key is null or
 * empty or value is null. Known keys: "device_model" (overrides the machine
 * description) and "model_key"; others land in "extra". */
LE_API void le_tel_record_str(const char* key, const char* value);

/* {"queued":N,"snapshot":{...}}: the number of snapshots waiting to be sent
 * and a fresh snapshot; the queue is not changed. The text belongs to the
 * calling thread and stays valid until this thread calls the function again.
 * Never null. */
LE_API const char* le_tel_pending_json(void);

/* Queues a fresh snapshot (keeping the newest 256) and posts every queued one
 * to LE_TEL_URL + "/v1/telemetry/ingest". Returns 0 when the endpoint answered
 * 200 (the snapshots it carried leave the queue); -1 when no token or no URL is
 * configured (nothing is queued); -2 when the request failed (connection,
 * time-out, bad URL); -3 when the endpoint answered another status. After a
 * failure the queued snapshots are kept and resent by the next flush. */
LE_API int le_tel_flush(void);

#ifdef __cplusplus
}
#endif

#endif /* LE_LE_TEL_H */
