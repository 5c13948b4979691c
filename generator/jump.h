// Jumping the shift register ahead, for the lane paths. The register step is
// linear over GF(2): the register k steps ahead is the exclusive-or of the
// registers k steps ahead of each of its parts alone. A lane path cuts the
// register into 32 nibbles (bits 4p ... 4p+3, bit 32*w + b being bit b of
// word w) and looks up, for each nibble's value, that part jumped ahead to
// every lane's segment.
#pragma once

#include "generator.h"

#include <cstdint>

constexpr uint32_t register_nibbles = 32;

// The table of jumps for a path of `lanes` lanes (4, 8 or 16), built by
// stepping on the first call for that lane count (a few milliseconds) and
// kept for the run. Row 16*p + v holds the register that has v in nibble p
// and zeros elsewhere, jumped by lane * (block_words / lanes) steps: word w
// of lane j is entry (16*p + v) * 4 * lanes + w * lanes + j, so each word of
// a row is one vector of the path. Aligned to 64 bytes. Null for any other
// lane count.
const uint32_t* lane_jumps(uint32_t lanes);
