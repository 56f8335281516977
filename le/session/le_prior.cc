#include "le/session/prior.h"

#include "le/bundle/paths.h"

le_prior::le_prior(const std::string& bundle, int lookAhead, int history)
    : manifest(le::loadManifest(le::resolveBundlePath(bundle))),
      cursor(le::DriverCursor::openPrior(manifest, lookAhead < 1 ? 2 : lookAhead,
                                         history < 0 ? 0 : history)),
      backend(cursor->sourceName()) {}
