// Two folders on different floors: the session may not use the pipeline.
#include "le/pipeline/y.h"
#include "le/render/x.h"
