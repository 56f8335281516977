// Steps of the member loader shared between the carriage and the loader.
#pragma once

#include <string>

#include "le/tessera/bundle_tessera.h"

namespace le::tessera {

// dir + "/manifest.json" when that is a regular file, else dir +
// "/meta.json" when that is, else "".
std::string manifestPath(const std::string& dir);

// The carriage of an already resolved bundle directory.
TesseraCarriage carriageOfDir(const std::string& dir);

}  // namespace le::tessera
