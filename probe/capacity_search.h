// The probe's searches for the capacity, once the first pass has shown
// that the drive holds less than it claims; not part of the probe's
// interface.
#pragma once

#include "probe_access.h"

#include <cstdint>

namespace probe_internal {

// Wrap-around: address m from the capacity up shares storage with
// m - distance, so writing m and reading m - distance (never written, so
// no cache answers for it) tells whether m is past the capacity. Returns
// the capacity, or 0 when a write to the address found does not land
// distance below it: then reads there only show lower storage, and writes
// are lost.
uint64_t search_wrapped_capacity(Probe* probe, uint64_t distance, uint64_t known_past);

// Lost writes: a cache answers for the last writes, so each round writes
// its places, then enough elsewhere to push them out, then reads.

// A stretch of push_length bytes outside (low, high] to write after each
// round; empty when there is no room. At the top of the drive where it can
// be: the witness was saved there already, and writing it again costs no
// saving.
Range push_range(const Probe* probe, uint64_t low, uint64_t high, uint64_t push_length);

// Measures the cache with writes of its own from start (past the
// capacity) into probe->result.
void measure_cache(Probe* probe, uint64_t start, uint64_t kept_end);

// The capacity, to the sector, between sector indices low (kept) and high
// (lost), push written after each round.
uint64_t search_lost_capacity(Probe* probe, int64_t low, int64_t high, Range push);

} // namespace probe_internal
