// The object behind the C prior handle: a bundle's HEVC warp prior read
// without a session. Internal so tests can read the cursor's statistics.
#pragma once

#include <memory>
#include <string>

#include "le/bundle/manifest.h"
#include "le/driver/cursor.h"

struct le_prior {
  // Resolves the bundle (unwrapping a container), reads its manifest and opens
  // the prior cursor; lookAhead < 1 means 2, history < 0 means 0. No identity
  // is mapped: the cursor's own refusal applies to a bundle without an HEVC
  // prior.
  le_prior(const std::string& bundle, int lookAhead, int history);

  le::Manifest manifest;
  std::unique_ptr<le::DriverCursor> cursor;
  std::string backend;  // the cursor's source name
};
