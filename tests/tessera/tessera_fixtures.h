// What the python fixtures write for the teeth-borrow tests: a command's
// output directory, written once per test executable, and the numpy
// reference of the geometry (lefix tessera-geom) read back as typed arrays.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/tessera/tessera_json.h"
#include "tessera/teeth_case.h"
#include "testkit/testkit.h"

namespace le::test {

// The directory `lefix <args> --out DIR` wrote, run on first use; removed at exit.
inline std::string fixtureOut(const std::vector<std::string>& args) {
  static std::map<std::vector<std::string>, std::unique_ptr<TempDir>> dirs;
  if (!dirs.count(args)) {
    auto dir = std::make_unique<TempDir>();
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--out", dir->path()});
    if (runFixture(all) != 0) throw std::runtime_error("lefix " + args.at(0) + " failed");
    dirs[args] = std::move(dir);
  }
  return dirs[args]->path();
}

class TesseraGeomRef {
 public:
  static const TesseraGeomRef& get() {
    static const TesseraGeomRef ref;
    return ref;
  }

  int canvas = 0;
  int frames = 0;
  int labelled = 0;  // the first frames: opening, closing, moving, turning, random
  int nv = 0;
  std::vector<std::string> labels;
  std::vector<float> kp;  // frames x 63

  const float* frame(int i) const { return kp.data() + size_t(i) * 63; }
  std::string text(const std::string& name) const { return fileBytes(dir_ + "/" + name); }
  template <class T>
  std::vector<T> array(const std::string& name) const {
    return readArray<T>(dir_ + "/" + name);
  }

 private:
  TesseraGeomRef() : dir_(fixtureOut({"tessera-geom"})) {
    const auto cases = tessera::json::parseJson(text("cases.json"), "cases.json");
    canvas = int(cases.req("canvas").num);
    frames = int(cases.req("frames").num);
    labelled = int(cases.req("labelled").num);
    nv = int(cases.req("nv").num);
    for (const auto& l : cases.req("labels").arr) labels.push_back(l.str);
    kp = array<float>("frames.f32");
    if (kp.size() != size_t(frames) * 63) throw std::runtime_error("frames.f32 has the wrong size");
  }
  std::string dir_;
};

}  // namespace le::test
