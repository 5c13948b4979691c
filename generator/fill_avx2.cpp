// The eight-lane AVX2 block fill. Lane j produces words j*512 ... j*512+511
// of the block from the state jumped ahead by j*512 steps; every few steps
// the eight lanes' outputs are transposed into place.
#include "fill_paths.h"
#include "jump.h"

#if defined(__i386__) || defined(__x86_64__)

#include <immintrin.h>

// Only the functions of this file are built for AVX2, each by its own
// attribute, so that nothing shared with the rest of the program (inline
// functions of the headers above) is compiled for it. The entry realigns the
// stack: 32-bit Windows promises only 4-byte alignment, and vector spills
// need 16 or 32.
#define AVX2_FUNCTION __attribute__((target("avx2"), force_align_arg_pointer))
#define AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace {

constexpr uint32_t lanes = 8;
constexpr uint32_t segment = block_words / lanes;

// r ^ a ^ b
AVX2_INLINE __m256i xor_rows(__m256i r, const __m256i* a, const __m256i* b) {
    return _mm256_xor_si256(_mm256_xor_si256(r, _mm256_load_si256(a)), _mm256_load_si256(b));
}

// Sets lane j of reg[0..3] to the state's register jumped by j*segment
// steps: the exclusive-or of the table's rows for the register's nibbles,
// two nibbles at a time.
AVX2_INLINE void jump_lanes(const GeneratorState* state, const uint32_t* table, __m256i reg[4]) {
    const __m256i* rows = reinterpret_cast<const __m256i*>(table);
    __m256i r0 = _mm256_setzero_si256();
    __m256i r1 = _mm256_setzero_si256();
    __m256i r2 = _mm256_setzero_si256();
    __m256i r3 = _mm256_setzero_si256();
    for (uint32_t p = 0; p < register_nibbles; p += 2) {
        const uint32_t word = state->word[p / 8];
        const __m256i* a = rows + 4 * (16 * p + ((word >> (4 * (p % 8))) & 15u));
        const __m256i* b = rows + 4 * (16 * (p + 1) + ((word >> (4 * (p % 8) + 4)) & 15u));
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

#if defined(__x86_64__)

// Eight steps at a time, then a full transpose: with 16 vector registers the
// eight outputs stay in registers.
constexpr uint32_t group_steps = 8;

// v[k] holds step k of every lane. Transposes, so that v[j] holds steps
// 0..7 of lane j, and stores them at block + 4 * j * segment.
AVX2_INLINE void store_steps(__m256i v[8], unsigned char* block) {
    __m256i t0 = _mm256_unpacklo_epi32(v[0], v[1]);
    __m256i t1 = _mm256_unpackhi_epi32(v[0], v[1]);
    __m256i t2 = _mm256_unpacklo_epi32(v[2], v[3]);
    __m256i t3 = _mm256_unpackhi_epi32(v[2], v[3]);
    __m256i t4 = _mm256_unpacklo_epi32(v[4], v[5]);
    __m256i t5 = _mm256_unpackhi_epi32(v[4], v[5]);
    __m256i t6 = _mm256_unpacklo_epi32(v[6], v[7]);
    __m256i t7 = _mm256_unpackhi_epi32(v[6], v[7]);
    __m256i u0 = _mm256_unpacklo_epi64(t0, t2);
    __m256i u1 = _mm256_unpackhi_epi64(t0, t2);
    __m256i u2 = _mm256_unpacklo_epi64(t1, t3);
    __m256i u3 = _mm256_unpackhi_epi64(t1, t3);
    __m256i u4 = _mm256_unpacklo_epi64(t4, t6);
    __m256i u5 = _mm256_unpackhi_epi64(t4, t6);
    __m256i u6 = _mm256_unpacklo_epi64(t5, t7);
    __m256i u7 = _mm256_unpackhi_epi64(t5, t7);
    v[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
    v[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
    v[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
    v[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
    v[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
    v[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
    v[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
    v[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
    for (uint32_t j = 0; j < lanes; ++j) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + 4 * j * segment), v[j]);
    }
}

#else

// 32-bit code has only 8 vector registers: four steps at a time keep the
// outputs out of memory (half again as fast there as eight steps).
constexpr uint32_t group_steps = 4;

// v[k] holds step k of every lane. Stores steps 0..3 of lane j at
// block + 4 * j * segment; lanes j and j + 4 share one register after the
// shuffles, in its low and high half.
AVX2_INLINE void store_pair(__m256i u, unsigned char* low, unsigned char* high) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(low), _mm256_castsi256_si128(u));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(high), _mm256_extracti128_si256(u, 1));
}

AVX2_INLINE void store_steps(const __m256i v[4], unsigned char* block) {
    constexpr uint32_t lane_bytes = 4 * segment;
    __m256i t0 = _mm256_unpacklo_epi32(v[0], v[1]);
    __m256i t1 = _mm256_unpackhi_epi32(v[0], v[1]);
    __m256i t2 = _mm256_unpacklo_epi32(v[2], v[3]);
    __m256i t3 = _mm256_unpackhi_epi32(v[2], v[3]);
    store_pair(_mm256_unpacklo_epi64(t0, t2), block, block + 4 * lane_bytes);
    store_pair(_mm256_unpackhi_epi64(t0, t2), block + lane_bytes, block + 5 * lane_bytes);
    store_pair(_mm256_unpacklo_epi64(t1, t3), block + 2 * lane_bytes, block + 6 * lane_bytes);
    store_pair(_mm256_unpackhi_epi64(t1, t3), block + 3 * lane_bytes, block + 7 * lane_bytes);
}

#endif

AVX2_INLINE uint32_t last_lane(__m256i v) {
    return static_cast<uint32_t>(_mm256_extract_epi32(v, 7));
}

} // namespace

AVX2_FUNCTION void fill_block_avx2(GeneratorState* state, unsigned char* block) {
    __m256i reg[4];
    jump_lanes(state, lane_jumps(lanes), reg);
    __m256i w0 = reg[0];
    __m256i w1 = reg[1];
    __m256i w2 = reg[2];
    __m256i w3 = reg[3];
    // The counter is a plain sum, so lane j's starts j*segment increments on.
    const uint32_t c = state->counter;
    constexpr uint32_t lane_step = segment * weyl_increment;
    __m256i counter =
        _mm256_setr_epi32(static_cast<int>(c), static_cast<int>(c + lane_step),
                          static_cast<int>(c + 2 * lane_step), static_cast<int>(c + 3 * lane_step),
                          static_cast<int>(c + 4 * lane_step), static_cast<int>(c + 5 * lane_step),
                          static_cast<int>(c + 6 * lane_step), static_cast<int>(c + 7 * lane_step));
    const __m256i increment = _mm256_set1_epi32(static_cast<int>(weyl_increment));

    for (uint32_t i = 0; i < segment; i += group_steps) {
        __m256i v[group_steps];
#pragma GCC unroll 8
        for (uint32_t k = 0; k < group_steps; ++k) {
            __m256i t = _mm256_xor_si256(w3, _mm256_srli_epi32(w3, 2));
            t = _mm256_xor_si256(t, _mm256_add_epi32(t, t)); // t ^ (t << 1)
            __m256i n = _mm256_xor_si256(_mm256_xor_si256(t, w0), _mm256_slli_epi32(w0, 4));
            w3 = w2;
            w2 = w1;
            w1 = w0;
            w0 = n;
            counter = _mm256_add_epi32(counter, increment);
            v[k] = _mm256_add_epi32(n, counter);
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
void fill_block_avx2(GeneratorState* state, unsigned char* block) {
    fill_block_scalar(state, block);
}

#endif
