// The lane paths' jump tables, built at run time by stepping single-bit
// registers: plain scalar code that needs no vector unit and no constant
// evaluation by the compiler.
#include "jump.h"

namespace {

constexpr uint32_t table_rows = register_nibbles * 16;

// One table per lane count: rows of 4 words of `lanes` lanes.
alignas(64) uint32_t jumps_4[table_rows * 4 * 4];
alignas(64) uint32_t jumps_8[table_rows * 4 * 8];
alignas(64) uint32_t jumps_16[table_rows * 4 * 16];
bool built_4 = false;
bool built_8 = false;
bool built_16 = false;

uint32_t* jump_row(uint32_t* table, uint32_t lanes, uint32_t nibble, uint32_t value) {
    return table + (16 * nibble + value) * 4 * lanes;
}

void build_lane_jumps(uint32_t* table, uint32_t lanes) {
    const uint32_t segment = block_words / lanes;
    const uint32_t row_words = 4 * lanes;
    for (uint32_t i = 0; i < 4 * register_nibbles; ++i) {
        // The rows of the single bits, by stepping a register that holds the
        // bit alone from one lane's start to the next.
        uint32_t* row = jump_row(table, lanes, i / 4, 1u << (i % 4));
        uint32_t reg[4] = {0, 0, 0, 0};
        reg[i / 32] = 1u << (i % 32);
        for (uint32_t lane = 0; lane < lanes; ++lane) {
            if (lane > 0) {
                for (uint32_t s = 0; s < segment; ++s) {
                    step_register(reg);
                }
            }
            for (uint32_t w = 0; w < 4; ++w) {
                row[w * lanes + lane] = reg[w];
            }
        }
    }
    for (uint32_t p = 0; p < register_nibbles; ++p) {
        // Every other value: its lowest bit's row and the rest's, which comes
        // earlier (row 0 stays zero).
        for (uint32_t v = 3; v < 16; ++v) {
            const uint32_t rest = v & (v - 1);
            if (rest == 0) {
                continue;
            }
            const uint32_t* low = jump_row(table, lanes, p, v & ~rest);
            const uint32_t* high = jump_row(table, lanes, p, rest);
            uint32_t* row = jump_row(table, lanes, p, v);
            for (uint32_t e = 0; e < row_words; ++e) {
                row[e] = low[e] ^ high[e];
            }
        }
    }
}

const uint32_t* built_table(uint32_t* table, bool* built, uint32_t lanes) {
    if (!*built) {
        build_lane_jumps(table, lanes);
        *built = true;
    }
    return table;
}

} // namespace

const uint32_t* lane_jumps(uint32_t lanes) {
    switch (lanes) {
    case 4:
        return built_table(jumps_4, &built_4, 4);
    case 8:
        return built_table(jumps_8, &built_8, 8);
    case 16:
        return built_table(jumps_16, &built_16, 16);
    default:
        return nullptr;
    }
}
