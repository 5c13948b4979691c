// Writes the seed corpus of check_fuzz into a directory: one recipe for each
// kind of damage the check tells apart, and an intact stream.
// Usage: make_check_corpus DIR
#include "check_recipe.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Piece {
    PieceKind kind;
    uint32_t length;
    uint32_t from;
};

struct Seed {
    const char* name;
    uint32_t chunk_a;
    uint32_t chunk_b;
    uint8_t flags;
    std::vector<Piece> pieces;
};

const Seed seeds[] = {
    {"intact", 4099, 16384, 0, {{piece_in_place, 65535, 0}, {piece_in_place, 40000, 0}}},
    {"altered",
     7,
     65536,
     0,
     {{piece_in_place, 30000, 0}, {piece_altered, 100, 0x12345}, {piece_in_place, 30000, 0}}},
    {"lost", 512, 3000, 0, {{piece_in_place, 20000, 0}, {piece_slipped, 20000, 2048 + 1000}}},
    {"repeated", 1000, 17, 0, {{piece_in_place, 20000, 0}, {piece_slipped, 20000, 2048 - 999}}},
    {"blank", 4096, 100, 0, {{piece_in_place, 20000, 0}, {piece_blank, 30000, 1}}},
    {"stale", 8192, 333, 0, {{piece_in_place, 20000, 0}, {piece_other_run, 20000, 5000}}},
    {"wrapped", 16384, 1, 0, {{piece_moved, 40000, 40000}, {piece_in_place, 40000, 0}}},
    {"cut",
     4096,
     999,
     0,
     {{piece_in_place, 20480, 0},
      {piece_moved, 30000, 86016},
      {piece_altered, 100, 0x321},
      {piece_in_place, 20000, 0}}},
    {"written over",
     16384,
     513,
     0,
     {{piece_in_place, 8192, 0},
      {piece_moved, 16384, 73728},
      {piece_moved, 16384, 24576},
      {piece_in_place, 8192, 0}}},
    {"unreadable",
     4096,
     5000,
     0,
     {{piece_in_place, 10000, 0}, {piece_unreadable, 8192, 0}, {piece_in_place, 10000, 0}}},
    {"foreign", 64, 65536, 0, {{piece_in_place, 10000, 0}, {piece_raw, 600, 0}}},
    {"short", 1, 2, 0, {{piece_in_place, 10, 0}}},
    {"missing", 4099, 512, 5, {{piece_in_place, 30000, 0}}},
};

void put(std::vector<uint8_t>* recipe, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        recipe->push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    for (const Seed& seed : seeds) {
        std::vector<uint8_t> recipe;
        put(&recipe, seed.chunk_a - 1, 2);
        put(&recipe, seed.chunk_b - 1, 2);
        put(&recipe, seed.flags, 1);
        for (const Piece& piece : seed.pieces) {
            put(&recipe, piece.kind, 1);
            put(&recipe, piece.length, 2);
            put(&recipe, piece.from, 3);
            if (piece.kind == piece_raw) {
                for (uint32_t i = 0; i < piece.length; ++i) {
                    recipe.push_back(static_cast<uint8_t>(i * 197 + 11));
                }
            }
        }
        std::string path = std::string(argv[1]) + "/" + seed.name;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr ||
            std::fwrite(recipe.data(), 1, recipe.size(), file) != recipe.size() ||
            std::fclose(file) != 0) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
