// Frame-exact access to a looping driver video (or the HEVC warp prior): a
// producer thread decodes up to lookAhead frames ahead into a ring, the ring
// keeps `history` delivered frames for short backward jumps, and any other
// jump becomes one seek of the source.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "le/bundle/identity.h"
#include "le/driver/source.h"

namespace le {

struct Manifest;

class DriverCursor {
 public:
  // Refused (never allocated short): more than kMaxSlots ring slots, or a ring
  // above kMaxRingBytes. Sessions use 2 + 11 + 1 = 14 slots.
  static constexpr int64_t kMaxSlots = 1024;
  static constexpr uint64_t kMaxRingBytes = uint64_t{16} << 30;

  // Any source; lookAhead is raised to at least 1, history to at least 0.
  static std::unique_ptr<DriverCursor> over(std::unique_ptr<driver::Source> source, int lookAhead,
                                            int history);
  // The bundle's driver video: the JPEG frame directory when populated, else
  // the MP4 member.
  static std::unique_ptr<DriverCursor> open(const Manifest& m, int lookAhead, int history);
  // The bundle's HEVC warp prior, crop x crop planar binary16.
  static std::unique_ptr<DriverCursor> openPrior(const Manifest& m, int lookAhead, int history);

  ~DriverCursor();
  DriverCursor(const DriverCursor&) = delete;
  DriverCursor& operator=(const DriverCursor&) = delete;

  // Next frame, continuing after the last delivered one. The in-place forms
  // return a pointer valid until the next pull; idx may be null there.
  int pull(uint8_t* dst);
  const uint8_t* pull(int* idx);
  // A frame handed out for modification is never served again as history.
  uint8_t* pullMut(int* idx);

  // Frame si; throws when the cursor yields a different index.
  int pullAt(int si, uint8_t* dst);
  const uint8_t* pullAt(int si, int* idx);
  uint8_t* pullMutAt(int si, int* idx);

  // Makes si the next frame; throws for si outside [0, NT).
  void seek(int si);
  int position() const;
  int64_t seeks() const;
  // Ring bytes plus the source's own buffers.
  int64_t residentBytes() const;

  int NT() const { return NT_; }
  int W() const { return W_; }
  int H() const { return H_; }
  uint64_t frameBytes() const;
  const std::string& sourceName() const { return name_; }

  struct Impl;

 private:
  explicit DriverCursor(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
  int NT_ = 0;
  int W_ = 0;
  int H_ = 0;
  std::string name_;
  mutable std::mutex call_;
};

namespace driver {

// The identity's HEVC prior played by a cursor (look-ahead 2, history 11): the
// opener every session gives its le::Identity.
std::unique_ptr<PriorStream> openPriorStream(const Manifest& m);

}  // namespace driver

}  // namespace le
