// onnxruntime records a custom domain's version range in a process-wide table
// the first time a session is created with it, and two sessions created at
// once with a new domain can both try to record it (the second fails with
// "domain is already exist"). Creating one throwaway session while the domain
// is being built, under its one-time initialisation, records it before any
// caller's session can race for it.
#pragma once

#include <onnxruntime_cxx_api.h>

namespace le {

void warmCustomDomain(OrtCustomOpDomain* domain);

}  // namespace le
