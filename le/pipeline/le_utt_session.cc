// A live pipeline on a session context: the adapters from the pipeline's seams
// to the session's director, driver cursor, compositor and identity.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/bundle/fsutil.h"
#include "le/bundle/paths.h"
#include "le/bundle/rawfile.h"
#include "le/pipeline/session_bind.h"
#include "le/pipeline/utt_handle.h"
#include "le/runtime/env.h"
#include "le/runtime/log.h"
#include "le/runtime/le_pool.h"
#include "le/session/session.h"

namespace le::utt {
namespace {

class RendererDirector : public Director {
 public:
  explicit RendererDirector(Renderer& r) : r_(r) {}
  const float* render(const int32_t* si, const float* ks, const float* kd, int32_t n) override {
    return r_.render(si, ks, kd, n);
  }
  int32_t batch() const override { return r_.batch(); }
  std::string ep() const override { return r_.ep(); }

 private:
  Renderer& r_;
};

class OwnedDirector : public RendererDirector {
 public:
  explicit OwnedDirector(std::unique_ptr<Renderer> r) : RendererDirector(*r), own_(std::move(r)) {}

 private:
  std::unique_ptr<Renderer> own_;
};

class SessionFrames : public FrameSide {
 public:
  explicit SessionFrames(le_ctx& ctx) : ctx_(ctx) {}
  void pullDriver(int32_t idx, uint8_t* rgb) override { ctx_.cursor->pullAt(idx, rgb); }
  void composite(const float* crop, int32_t idx, uint8_t* rgb) override {
    ctx_.paste->composite(crop, 255.0f, ctx_.identity.M(idx), rgb, ctx_.W(), ctx_.H());
  }
  void walkPrior(int32_t idx) override { ctx_.identity.walkP(idx); }

 private:
  le_ctx& ctx_;
};

// xs_target rows, kept only when the member holds exactly nt x 63 floats.
std::vector<float> readTargetRows(const std::string& motionDir, int32_t nt) {
  std::vector<float> rows;
  if (nt < 1) return rows;
  try {
    const uint64_t bytes = raw::checkedProduct({nt, kKpFloats, 4}, "xs_target.bin");
    raw::ExactFile f(resolveMember(motionDir, "xs_target.bin"), bytes);
    rows.resize(size_t(nt) * kKpFloats);
    f.readAll(rows.data());
  } catch (const std::exception&) {
    rows.clear();
  }
  return rows;
}

}  // namespace

Stages bindSession(le_ctx& ctx, const Settings& s, le_utt& u) {
  Renderer& main = ctx.ensureRenderer();
  u.director = std::make_unique<RendererDirector>(main);
  u.frames = std::make_unique<SessionFrames>(ctx);
  Stages st;
  st.nt = ctx.NT();
  st.width = ctx.W();
  st.height = ctx.H();
  st.crop = ctx.manifest.crop;
  st.main = u.director.get();
  st.frames = u.frames.get();
  if (ctx.drive.frames > 0 && ctx.drive.xs.size() >= size_t(kKpFloats))
    st.warmKp.assign(ctx.drive.xs.begin(), ctx.drive.xs.begin() + kKpFloats);
  st.xsTarget = readTargetRows(s.motionDir, st.nt);
  st.lipTemplateJson = ctx.manifest.lipTemplateJson;
  st.engineKind = selectEngine(s.motionDir);
  st.makeEngine = [kind = st.engineKind, dir = s.motionDir, threads = s.threads, ep = s.ep] {
    return createEngine(kind, dir, threads, ep);
  };
  bool note = false;
  const int32_t intra = session::intraThreads(ctx.threads, ctx.explicitThreads, ctx.ep, &note);
  le_ctx* c = &ctx;
  st.makeChunk = [c, intra, asked = !s.steadyDefault](const std::string& name) -> std::unique_ptr<Director> {
    // The default chunk director is optional: its absence is said once, as
    // what it is, and is no render failure. One the host named must load.
    const std::string member = "model_" + name + ".onnx";
    if (!asked && !fs::isRegularFile(resolveMember(c->manifest.dir, member))) {
      log::linef(log::Level::Info, "[le_utt] no chunk director %s in the bundle: frames are rendered one at a time",
                 member.c_str());
      return nullptr;
    }
    return std::make_unique<OwnedDirector>(
        std::make_unique<Renderer>(c->manifest, &c->identity, name, intra, c->ep));
  };
  return st;
}

void noteDirector(le_ctx& ctx, Pipeline& p) {
  if (!ctx.renderer) return;
  if (const char* n = ctx.renderer->directorNote(); n && n[0]) p.noteFailure("director load", n, false);
}

std::unique_ptr<le_utt> createOnSession(le_ctx& ctx, const Options& opts) {
  Settings s = resolveSettings(opts, pool::threads(), [](const char* k) { return env::text(k); });
  bool expected = false;
  if (!ctx.uttBusy.compare_exchange_strong(expected, true))
    throw std::runtime_error("context already drives a pipeline");
  auto u = std::make_unique<le_utt>();
  le_ctx* c = &ctx;
  u->release = [c] { c->uttBusy.store(false); };
  Stages st = bindSession(ctx, s, *u);
  u->pipeline = std::make_unique<Pipeline>(std::move(st), std::move(s));
  noteDirector(ctx, *u->pipeline);
  return u;
}

}  // namespace le::utt
