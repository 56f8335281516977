// The object behind the C prior handle; internal so tests can read the
// cursor's statistics.
#pragma once

#include <memory>
#include <string>

#include "le/driver/cursor.h"
#include "le/manifest.h"

struct le_prior {
  le::Manifest manifest;
  std::unique_ptr<le::DriverCursor> cursor;
  std::string backend;  // the cursor's source name
};
