#include "le/tessera/tessera_stream.h"

#include <stdexcept>

namespace le::tessera {

StreamBorrow::StreamBorrow(const BankData& bank, const HeadWeights& head, const ServeConfig& config,
                           const UnifiedPi& pi, const std::string& lipTemplateJson)
    : pass_(std::make_unique<TeethPass>(bank, head, config)), pi_(pi) {
  (void)lipTemplateJson;
  throw std::runtime_error("teeth stream: not built yet");
}

StreamBorrow::~StreamBorrow() = default;

bool StreamBorrow::push(const float*, const float*, FrameResult*) {
  throw std::runtime_error("teeth stream: not built yet");
}
bool StreamBorrow::pushRgba(const uint8_t*, const float*, FrameResult*) {
  throw std::runtime_error("teeth stream: not built yet");
}
bool StreamBorrow::pushSynth(const float*, FrameResult*) {
  throw std::runtime_error("teeth stream: not built yet");
}
bool StreamBorrow::flush(FrameResult*) { throw std::runtime_error("teeth stream: not built yet"); }
void StreamBorrow::writeWindowDelta(float*, int, const FrameResult&, const GeometryStamp&) {
  throw std::runtime_error("teeth stream: not built yet");
}
void StreamBorrow::writeWindowDeltaRgba(uint8_t*, int, const FrameResult&, const GeometryStamp&) {
  throw std::runtime_error("teeth stream: not built yet");
}
int StreamBorrow::hostSplit(double*) const { return 0; }

}  // namespace le::tessera
