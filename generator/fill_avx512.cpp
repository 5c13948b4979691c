// The sixteen-lane AVX-512 block fill. Lane j produces words j*256 ...
// j*256+255 of the block from the state jumped ahead by j*256 steps; every
// four steps the lanes' outputs are transposed in groups of four lanes and
// stored a quarter register at a time.
#include "fill_paths.h"
#include "jump.h"

#if defined(__i386__) || defined(__x86_64__)

// GCC 12's AVX-512 intrinsics give their undefined pass-through operands a
// self-initialisation, which its own -Wuninitialized then reports (GCC bug
// 105593, fixed in GCC 13).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

// Only the functions below are built for AVX-512 (the foundation set is all
// they use), each by its own attribute, as the other vector paths do. The
// entry realigns the stack: 32-bit Windows promises only 4-byte alignment,
// and spills of 64-byte registers need 64.
#define AVX512_FUNCTION __attribute__((target("avx512f"), force_align_arg_pointer))
#define AVX512_INLINE __attribute__((target("avx512f"), always_inline)) inline

namespace {

constexpr uint32_t lanes = 16;
constexpr uint32_t segment = block_words / lanes;

// The ternary-logic immediate for a ^ b ^ c: the function's truth table,
// evaluated on a = 0xF0, b = 0xCC, c = 0xAA.
constexpr int xor3 = 0x96;

// r ^ a ^ b
AVX512_INLINE __m512i xor_rows(__m512i r, const __m512i* a, const __m512i* b) {
    return _mm512_ternarylogic_epi32(r, _mm512_load_si512(a), _mm512_load_si512(b), xor3);
}

// Sets lane j of reg[0..3] to the state's register jumped by j*segment
// steps: the exclusive-or of the table's rows for the register's nibbles,
// two nibbles at a time.
AVX512_INLINE void jump_lanes(const GeneratorState* state, const uint32_t* table, __m512i reg[4]) {
    const __m512i* rows = reinterpret_cast<const __m512i*>(table);
    __m512i r0 = _mm512_setzero_si512();
    __m512i r1 = _mm512_setzero_si512();
    __m512i r2 = _mm512_setzero_si512();
    __m512i r3 = _mm512_setzero_si512();
    for (uint32_t p = 0; p < register_nibbles; p += 2) {
        const uint32_t word = state->word[p / 8];
        const __m512i* a = rows + 4 * (16 * p + ((word >> (4 * (p % 8))) & 15u));
        const __m512i* b = rows + 4 * (16 * (p + 1) + ((word >> (4 * (p % 8) + 4)) & 15u));
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

// Stores quarter q of u (q = 1, 2, 3) at p, straight from the register.
// GCC 12 takes the quarter out with a shuffle first, which costs the one
// shuffle port more than the whole step does; the store form of the
// instruction needs no shuffle port.
template <int quarter> AVX512_INLINE void store_quarter(unsigned char* p, __m512i u) {
    __asm__("vextracti32x4 %2, %1, %0"
            : "=m"(*reinterpret_cast<__m128i*>(p))
            : "v"(u), "i"(quarter));
}

// v[k] holds step k of every lane. Stores steps 0..3 of lane j at
// block + 4 * j * segment: two rounds of unpacking put steps 0..3 of lanes
// 4q + r into quarter q of register r, and each quarter is stored where its
// lane's segment goes.
AVX512_INLINE void store_quarters(__m512i u, unsigned char* lane_start, uint32_t lane_bytes) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lane_start), _mm512_castsi512_si128(u));
    store_quarter<1>(lane_start + 4 * lane_bytes, u);
    store_quarter<2>(lane_start + 8 * lane_bytes, u);
    store_quarter<3>(lane_start + 12 * lane_bytes, u);
}

AVX512_INLINE void store_steps(const __m512i v[4], unsigned char* block) {
    constexpr uint32_t lane_bytes = 4 * segment;
    // In every quarter: t0 = v0[0] v1[0] v0[1] v1[1], t1 = v0[2] v1[2] v0[3] v1[3],
    // and so on for v2, v3.
    const __m512i t0 = _mm512_unpacklo_epi32(v[0], v[1]);
    const __m512i t1 = _mm512_unpackhi_epi32(v[0], v[1]);
    const __m512i t2 = _mm512_unpacklo_epi32(v[2], v[3]);
    const __m512i t3 = _mm512_unpackhi_epi32(v[2], v[3]);
    // In every quarter q: steps 0..3 of lane 4q + 0, 1, 2, 3.
    store_quarters(_mm512_unpacklo_epi64(t0, t2), block, lane_bytes);
    store_quarters(_mm512_unpackhi_epi64(t0, t2), block + lane_bytes, lane_bytes);
    store_quarters(_mm512_unpacklo_epi64(t1, t3), block + 2 * lane_bytes, lane_bytes);
    store_quarters(_mm512_unpackhi_epi64(t1, t3), block + 3 * lane_bytes, lane_bytes);
}

// Lane 15 of v: element 3 of its top quarter.
AVX512_INLINE uint32_t last_lane(__m512i v) {
    return static_cast<uint32_t>(_mm_extract_epi32(_mm512_extracti32x4_epi32(v, 3), 3));
}

} // namespace

AVX512_FUNCTION void fill_block_avx512(GeneratorState* state, unsigned char* block) {
    __m512i reg[4];
    jump_lanes(state, lane_jumps(lanes), reg);
    __m512i w0 = reg[0];
    __m512i w1 = reg[1];
    __m512i w2 = reg[2];
    __m512i w3 = reg[3];
    // The counter is a plain sum, so lane j's starts j*segment increments on.
    const uint32_t c = state->counter;
    constexpr uint32_t lane_step = segment * weyl_increment;
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    // counter = c + lane * lane_step
    __m512i counter =
        _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(c)),
                         _mm512_mullo_epi32(lane, _mm512_set1_epi32(static_cast<int>(lane_step))));
    const __m512i increment = _mm512_set1_epi32(static_cast<int>(weyl_increment)); // 362437

    constexpr uint32_t group_steps = 4;
    for (uint32_t i = 0; i < segment; i += group_steps) {
        __m512i v[group_steps];
#pragma GCC unroll 4
        for (uint32_t k = 0; k < group_steps; ++k) {
            const __m512i t = _mm512_xor_si512(w3, _mm512_srli_epi32(w3, 2)); // t = w3 ^ (w3 >> 2)
            const __m512i u = _mm512_xor_si512(t, _mm512_add_epi32(t, t));    // u = t ^ (t << 1)
            // n = u ^ w0 ^ (w0 << 4)
            const __m512i n = _mm512_ternarylogic_epi32(u, w0, _mm512_slli_epi32(w0, 4), xor3);
            w3 = w2;
            w2 = w1;
            w1 = w0;
            w0 = n;
            counter = _mm512_add_epi32(counter, increment); // counter += 362437
            v[k] = _mm512_add_epi32(n, counter);            // output = n + counter
        }
        store_steps(v, block + 4 * i);
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
void fill_block_avx512(GeneratorState* state, unsigned char* block) {
    fill_block_scalar(state, block);
}

#endif
