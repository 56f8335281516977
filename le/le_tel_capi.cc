// le_tel_ entry points over the process-wide telemetry recorder.
#include <string>

#include "le/le_tel.h"
#include "le/telemetry/tel_http.h"
#include "le/telemetry/telemetry.h"

extern "C" {

LE_API void le_tel_record(const char* key, double value) {
  if (!key || !*key) return;
  try {
    le::tel::processRecorder().record(key, value);
  } catch (...) {
    // Only allocation can fail here; the metric is then not recorded.
  }
}

LE_API void le_tel_record_str(const char* key, const char* value) {
  if (!key || !*key || !value) return;
  try {
    le::tel::processRecorder().recordText(key, value);
  } catch (...) {
  }
}

LE_API const char* le_tel_pending_json(void) {
  thread_local std::string result;
  try {
    result = le::tel::processRecorder().pendingJson();
  } catch (...) {
    result.clear();
  }
  return result.c_str();
}

LE_API int le_tel_flush(void) {
  try {
    return le::tel::flushToEndpoint();
  } catch (...) {
    return le::tel::kTransportFailed;
  }
}

}  // extern "C"
