// SPDX-License-Identifier: GPL-3.0-or-later
// The clock of a recording whose name and container give none, from its own GPS data: the UTC
// of its first picture as its fixes settle it (RecordingClock.h), moved to the camera's clock
// where the offset is known. The card listing's worker calls it (cards/CardLister.h); it keeps no
// state, so one object serves any number of threads.
#pragma once

#include "cards/CardListing.h"

namespace metadata {

class CFixClock : public cards::VFixClock {
 public:
  bool StartFromFixes(const std::string& path, cards::Clock* start,
                      const std::atomic<bool>* cancel) override;
};

}  // namespace metadata
