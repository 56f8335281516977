// An include from the bottom floor up to the renderer.
#pragma once

#include "le/render/x.h"
