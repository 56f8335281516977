// The causal 20 % quantile of the energies seen so far, kept in two heaps so
// each frame costs O(log t) instead of a sort. The thresholds are the same
// doubles a sort of e(0..t) would give: the same two order statistics enter
// the same interpolation.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

namespace le::audio {

class QuantileGate {
 public:
  // Adds e(t) for the next t and returns its threshold: 0 for t <= 6, else
  // s[floor q] + (s[ceil q] - s[floor q]) x (q - floor q), q = 0.2 t, over the
  // t + 1 sorted energies. Energies must not be NaN.
  double push(double e) {
    const int64_t t = count_++;
    if (low_.empty() || e < low_.top())
      low_.push(e);
    else
      high_.push(e);
    const double q = 0.2 * static_cast<double>(t);
    const double fq = std::floor(q);
    // low_ holds s[0 .. floor q]; high_ the rest, its top is s[floor q + 1].
    const size_t want = static_cast<size_t>(fq) + 1;
    while (low_.size() > want) {
      high_.push(low_.top());
      low_.pop();
    }
    while (low_.size() < want) {
      low_.push(high_.top());
      high_.pop();
    }
    if (t <= 6) return 0.0;
    const double sf = low_.top();
    const double sc = std::ceil(q) == fq ? sf : high_.top();
    return sf + (sc - sf) * (q - fq);
  }
  int64_t count() const { return count_; }

 private:
  std::priority_queue<double> low_;
  std::priority_queue<double, std::vector<double>, std::greater<double>> high_;
  int64_t count_ = 0;
};

}  // namespace le::audio
