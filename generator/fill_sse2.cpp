// The four-lane SSE2 block fill. Lane j produces words j*1024 ... j*1024+1023
// of the block from the state jumped ahead by j*1024 steps; every four steps
// the four lanes' outputs are transposed into place.
#include "fill_paths.h"
#include "jump.h"

#if defined(__i386__) || defined(__x86_64__)

#include <emmintrin.h>

// The 32-bit build cannot assume SSE2, so these functions carry it as an
// attribute of their own; nothing shared with the rest of the program is
// compiled for it. The entry realigns the stack: 32-bit Windows promises
// only 4-byte alignment, and vector spills need 16.
#define SSE2_FUNCTION __attribute__((target("sse2"), force_align_arg_pointer))
#define SSE2_INLINE __attribute__((target("sse2"), always_inline)) inline

namespace {

constexpr uint32_t lanes = 4;
constexpr uint32_t segment = block_words / lanes;

// r ^ a ^ b
SSE2_INLINE __m128i xor_rows(__m128i r, const __m128i* a, const __m128i* b) {
    return _mm_xor_si128(_mm_xor_si128(r, _mm_load_si128(a)), _mm_load_si128(b));
}

// Sets lane j of reg[0..3] to the state's register jumped by j*segment
// steps: the exclusive-or of the table's rows for the register's nibbles,
// two nibbles at a time.
SSE2_INLINE void jump_lanes(const GeneratorState* state, const uint32_t* table, __m128i reg[4]) {
    const __m128i* rows = reinterpret_cast<const __m128i*>(table);
    __m128i r0 = _mm_setzero_si128();
    __m128i r1 = _mm_setzero_si128();
    __m128i r2 = _mm_setzero_si128();
    __m128i r3 = _mm_setzero_si128();
    for (uint32_t p = 0; p < register_nibbles; p += 2) {
        const uint32_t word = state->word[p / 8];
        const __m128i* a = rows + 4 * (16 * p + ((word >> (4 * (p % 8))) & 15u));
        const __m128i* b = rows + 4 * (16 * (p + 1) + ((word >> (4 * (p % 8) + 4)) & 15u));
        r0 = xor_rows(r0, a, b);
        r1 = xor_rows(r1, a + 1, b + 1);
        r2 = xor_rows(r2, a + 2, b + 2);
        r3 = xor_rows(r3, a + 3, b + 3);
    }
    reg[0] = r0;
    reg[1] = r1;
    reg[2] = r2;
    reg[3] = r3;
}

// v[k] holds step k of every lane; afterwards v[j] holds steps 0..3 of lane j.
SSE2_INLINE void transpose(__m128i v[4]) {
    __m128i t0 = _mm_unpacklo_epi32(v[0], v[1]);
    __m128i t1 = _mm_unpacklo_epi32(v[2], v[3]);
    __m128i t2 = _mm_unpackhi_epi32(v[0], v[1]);
    __m128i t3 = _mm_unpackhi_epi32(v[2], v[3]);
    v[0] = _mm_unpacklo_epi64(t0, t1);
    v[1] = _mm_unpackhi_epi64(t0, t1);
    v[2] = _mm_unpacklo_epi64(t2, t3);
    v[3] = _mm_unpackhi_epi64(t2, t3);
}

SSE2_INLINE uint32_t last_lane(__m128i v) {
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(v, 0xFF)));
}

} // namespace

SSE2_FUNCTION void fill_block_sse2(GeneratorState* state, unsigned char* block) {
    __m128i reg[4];
    jump_lanes(state, lane_jumps(lanes), reg);
    __m128i w0 = reg[0];
    __m128i w1 = reg[1];
    __m128i w2 = reg[2];
    __m128i w3 = reg[3];
    // The counter is a plain sum, so lane j's starts j*segment increments on.
    const uint32_t c = state->counter;
    constexpr uint32_t lane_step = segment * weyl_increment;
    __m128i counter =
        _mm_setr_epi32(static_cast<int>(c), static_cast<int>(c + lane_step),
                       static_cast<int>(c + 2 * lane_step), static_cast<int>(c + 3 * lane_step));
    const __m128i increment = _mm_set1_epi32(static_cast<int>(weyl_increment));

    for (uint32_t i = 0; i < segment; i += 4) {
        __m128i v[4];
#pragma GCC unroll 4
        for (uint32_t k = 0; k < 4; ++k) {
            __m128i t = _mm_xor_si128(w3, _mm_srli_epi32(w3, 2));
            t = _mm_xor_si128(t, _mm_slli_epi32(t, 1));
            __m128i n = _mm_xor_si128(_mm_xor_si128(t, w0), _mm_slli_epi32(w0, 4));
            w3 = w2;
            w2 = w1;
            w1 = w0;
            w0 = n;
            counter = _mm_add_epi32(counter, increment);
            v[k] = _mm_add_epi32(n, counter);
        }
        transpose(v);
        for (uint32_t lane = 0; lane < lanes; ++lane) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 4 * (lane * segment + i)), v[lane]);
        }
    }
    // The last lane ends where the block ends.
    state->word[0] = last_lane(w0);
    state->word[1] = last_lane(w1);
    state->word[2] = last_lane(w2);
    state->word[3] = last_lane(w3);
    state->counter = c + block_words * weyl_increment;
}

#else

// Never selected where there is no x86 processor.
void fill_block_sse2(GeneratorState* state, unsigned char* block) {
    fill_block_scalar(state, block);
}

#endif
