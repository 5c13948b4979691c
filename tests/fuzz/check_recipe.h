// The recipe that check_fuzz builds an input from, and make_check_corpus
// writes seeds of. All numbers little-endian:
//   bytes 0-1, 2-3  the two chunk sizes, less one
//   byte 4          bit 0: the input should have had more bytes (bits 1-7
//                   times 4099 more than it has)
//   then pieces of 6 bytes: kind, length (2 bytes), where from (3 bytes);
//   a raw piece takes its bytes from the recipe after it.
#pragma once

#include <cstdint>

constexpr uint32_t recipe_header = 5;
constexpr uint32_t piece_bytes = 6;

enum PieceKind {
    piece_in_place,   // the run's stream where it belongs
    piece_slipped,    // the run's stream from near where it belongs
    piece_moved,      // the run's stream from anywhere
    piece_other_run,  // another run's stream
    piece_blank,      // all 00 or all FF
    piece_raw,        // bytes from the recipe
    piece_altered,    // in place, with a few bits flipped
    piece_unreadable, // could not be read
    piece_kind_count
};
