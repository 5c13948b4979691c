// The probe's second look at a drive, once the first has its answer: other
// places, written in the other order, must agree with it before the drive
// is called genuine or given a capacity; not part of the probe's
// interface.
#pragma once

#include "probe_access.h"

namespace probe_internal {

// Writes fresh places across the drive (and the sectors either side of the
// capacity found), highest first, pushes any cache out, and reads them
// back lowest first: each must be held below the capacity and not from it
// up. Where one is not, the drive is unstable: the capacity is searched
// for again between the places of the second look, and the result gives
// both figures.
void look_again(Probe* probe);

} // namespace probe_internal
