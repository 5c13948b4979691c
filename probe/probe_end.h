// How a probe begins and ends, beside the search itself (probe.cpp): the
// drives it refuses, the end it came to, and the restore of everything it
// saved; not part of the probe's interface.
#pragma once

#include "probe_access.h"

#include <cstddef>

namespace probe_internal {

// Refuses (false with message) a drive the probe cannot handle.
bool can_probe(const ProbeDevice* device, char* message, size_t capacity);

// How the probe ended, and its message for a stop request; a probe that
// did not finish keeps no part answer.
void settle_end(Probe* probe);

// Writes back what was saved, once the probe writes nothing more (the
// backup closed first); the message says what was left.
void restore_at_end(Probe* probe);

} // namespace probe_internal
