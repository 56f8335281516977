// A teeth-pass run written by `lefix tessera-case`: the drawn bank, the head
// and configuration as the members hold them (head.pt, head.json), the
// frames, and the numpy reference's per-frame results. Self-contained: the
// stream-borrow benchmark reads the same cases without the test kit.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/tessera/head.h"
#include "le/tessera/le_tessera.h"

namespace le::test {

// The files the python fixtures write, read without the test kit.
inline std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Native-endian values of type T.
template <class T>
std::vector<T> readArray(const std::string& path) {
  const std::string b = fileBytes(path);
  std::vector<T> out(b.size() / sizeof(T));
  std::memcpy(out.data(), b.data(), out.size() * sizeof(T));
  return out;
}

struct TeethCase {
  std::string dir;
  std::map<std::string, std::vector<std::string>> meta;
  tessera::BankData bank;
  tessera::HeadWeights head;
  tessera::ServeConfig cfg;
  int frames = 0, shortlist = 0;
  std::vector<uint8_t> canvases, masks;
  std::vector<int32_t> shifts;  // per frame: given, dy, dx

  explicit TeethCase(const std::string& d) : dir(d) {
    std::istringstream in(bytes("meta.txt"));
    for (std::string line; std::getline(in, line);) {
      std::istringstream ls(line);
      std::string key, v;
      ls >> key;
      while (ls >> v) meta[key].push_back(v);
    }
    const auto& st = at("stamp");
    int32_t* f = &bank.stamp.canvas_w;
    for (size_t i = 0; i < 12; ++i) f[i] = std::stoi(st.at(i));  // twelve int32 in order
    bank.n_donors = std::stoi(at("donors").at(0));
    frames = std::stoi(at("frames").at(0));
    shortlist = std::stoi(at("shortlist").at(0));
    cfg = tessera::ServeConfig::fromHeadMemberJson(bytes("head.json"));
    head = tessera::loadHeadPt(read<uint8_t>("head.pt"));
    bank.track = read<uint8_t>("track.u8");
    bank.cent = read<double>("cent.f64");
    const std::vector<double> cc = read<double>("ccanon.f64");
    bank.c_canon = {cc.at(0), cc.at(1)};
    bank.aperture = read<double>("aperture.f64");
    canvases = read<uint8_t>("frames.u8");
    masks = read<uint8_t>("masks.u8");
    shifts = read<int32_t>("shifts.i32");
  }

  const std::vector<std::string>& at(const std::string& key) const {
    const auto it = meta.find(key);
    if (it == meta.end()) throw std::runtime_error("case lacks meta key " + key);
    return it->second;
  }

  std::string bytes(const std::string& name) const { return fileBytes(dir + "/" + name); }
  template <class T>
  std::vector<T> read(const std::string& name) const {
    return readArray<T>(dir + "/" + name);
  }

  size_t canvasBytes() const { return size_t(bank.stamp.canvas_w) * size_t(bank.stamp.canvas_h); }
  const uint8_t* canvas(int i) const { return canvases.data() + size_t(i) * canvasBytes() * 3; }
  const uint8_t* mask(int i) const { return masks.data() + size_t(i) * canvasBytes(); }
  // The frame's given shift, or null when the pass derives it from the mask.
  const int* shift(int i) const { return shifts[3 * size_t(i)] ? &shifts[3 * size_t(i) + 1] : nullptr; }
};

}  // namespace le::test
