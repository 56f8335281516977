// An audio engine that gives rows straight from a bundle: the target row, and
// the same row moved by `move`; one row per 640 pushed samples. Every
// utterance starts at row 0 whatever the pipeline's start row (which depends
// on when speech arrives), so runs compare frame by frame.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "le/pipeline/engine.h"

namespace le::test {

class RowEngine : public le::utt::Engine {
 public:
  RowEngine(std::vector<float> xs, int32_t nt, float move) : xs_(std::move(xs)), nt_(nt), move_(move) {}
  void reset(int32_t, int32_t) override { samples_ = 0, pulled_ = 0, done_ = false; }
  void setEager(int32_t) override {}
  void push(const float*, int64_t n) override { samples_ += n; }
  void finish() override { done_ = true; }
  int32_t avail() override { return int32_t(done_ ? (samples_ + 639) / 640 : samples_ / 640) - pulled_; }
  int32_t pull(int32_t* idx, float* t, float* d, int32_t n) override {
    int32_t w = 0;
    for (; w < n && w < avail(); ++w, ++pulled_) {
      idx[w] = pulled_ % nt_;
      for (int j = 0; j < 63; ++j) {
        t[w * 63 + j] = xs_[size_t(idx[w]) * 63 + size_t(j)];
        d[w * 63 + j] = t[w * 63 + j] + move_;
      }
    }
    return w;
  }
  int32_t total() override { return done_ ? int32_t((samples_ + 639) / 640) : -1; }
  int32_t nt() override { return nt_; }

 private:
  std::vector<float> xs_;
  int32_t nt_;
  float move_;
  int64_t samples_ = 0;
  int32_t pulled_ = 0;
  bool done_ = false;
};

}  // namespace le::test
