// Binds a live pipeline to a session context: the director adapter over the
// session's renderer (built here when the session has none yet), the frame
// side over its driver cursor, compositor and identity, the xs_target rows
// and the engine and chunk-director factories.
#pragma once

#include <memory>

#include "le/pipeline/settings.h"
#include "le/pipeline/stages.h"
#include "le/pipeline/utt_handle.h"
#include "le/session/session.h"

namespace le::utt {

// Fills u's adapters and returns the stages over them.
Stages bindSession(le_ctx& ctx, const Settings& s, le_utt& u);
// A non-empty director note becomes a non-fatal failure of stage
// "director load".
void noteDirector(le_ctx& ctx, Pipeline& p);

// A pipeline driving ctx, which it marks busy until the handle goes. Throws
// "opts.motion_dir required", "context already drives a pipeline", or the
// failing step's own message.
std::unique_ptr<le_utt> createOnSession(le_ctx& ctx, const Options& opts);

}  // namespace le::utt
