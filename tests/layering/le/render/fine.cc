// Includes of its own floor and lower ones only.
#include "le/bundle/paths.h"
#include "le/render/x.h"
#include "le/runtime/log.h"
