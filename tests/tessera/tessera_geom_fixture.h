// The numpy reference of the teeth-borrow geometry (lefix tessera-geom),
// written once per test executable and read back as typed arrays.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "le/tessera/tessera_json.h"
#include "testkit/testkit.h"

namespace le::test {

class TesseraGeomRef {
 public:
  static const TesseraGeomRef& get() {
    static const std::unique_ptr<TesseraGeomRef> ref(new TesseraGeomRef());
    return *ref;
  }

  int canvas = 0;
  int frames = 0;
  int labelled = 0;  // the first frames: opening, closing, moving, turning, random
  int nv = 0;
  std::vector<std::string> labels;
  std::vector<float> kp;  // frames x 63

  const float* frame(int i) const { return kp.data() + size_t(i) * 63; }
  std::string text(const std::string& name) const { return readFile(dir_ / name); }
  template <class T>
  std::vector<T> array(const std::string& name) const {
    const std::string bytes = text(name);
    std::vector<T> out(bytes.size() / sizeof(T));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
    return out;
  }

 private:
  TesseraGeomRef() {
    if (runFixture({"tessera-geom", "--out", dir_.path()}) != 0)
      throw std::runtime_error("lefix tessera-geom failed");
    const auto cases = tessera::json::parseJson(text("cases.json"), "cases.json");
    canvas = int(cases.req("canvas").num);
    frames = int(cases.req("frames").num);
    labelled = int(cases.req("labelled").num);
    nv = int(cases.req("nv").num);
    for (const auto& l : cases.req("labels").arr) labels.push_back(l.str);
    kp = array<float>("frames.f32");
    if (kp.size() != size_t(frames) * 63) throw std::runtime_error("frames.f32 has the wrong size");
  }
  TempDir dir_;
};

}  // namespace le::test
