// The eight-lane AVX2 path: lane j runs words j*512 ... j*512+511 of the
// block; every few steps the eight lanes' outputs are transposed into place.
// The kernel is lane_kernel.h; here are AVX2's operations and its transposes.
#include "fill_paths.h"
#include "generator.h"
#include "jump.h"

#if defined(__i386__) || defined(__x86_64__)

#include <immintrin.h>

// Only the functions of this file are built for AVX2, each by its own
// attribute, so that nothing shared with the rest of the program (inline
// functions of the headers above) is compiled for it. The entry realigns the
// stack: 32-bit Windows promises only 4-byte alignment, and vector spills
// need 16 or 32.
#define LANE_FUNCTION __attribute__((target("avx2"), force_align_arg_pointer))
#define LANE_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace {

typedef __m256i Lanes;
constexpr uint32_t lanes = fill_path_lanes("avx2");

LANE_INLINE Lanes lanes_zero() {
    return _mm256_setzero_si256(); // 0
}
LANE_INLINE Lanes lanes_splat(uint32_t x) {
    return _mm256_set1_epi32(static_cast<int>(x)); // x
}
LANE_INLINE Lanes lanes_load(const uint32_t* p) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); // p[j], p aligned
}
LANE_INLINE Lanes lanes_loadu(const void* p) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(p)); // p[j]
}
LANE_INLINE Lanes lanes_xor(Lanes a, Lanes b) {
    return _mm256_xor_si256(a, b); // a ^ b
}
LANE_INLINE Lanes lanes_xor3(Lanes a, Lanes b, Lanes c) {
    return _mm256_xor_si256(_mm256_xor_si256(a, b), c); // (a ^ b) ^ c
}
LANE_INLINE Lanes lanes_or(Lanes a, Lanes b) {
    return _mm256_or_si256(a, b); // a | b
}
LANE_INLINE Lanes lanes_add(Lanes a, Lanes b) {
    return _mm256_add_epi32(a, b); // a + b
}
LANE_INLINE Lanes lanes_shift_right_2(Lanes a) {
    return _mm256_srli_epi32(a, 2); // a >> 2
}
LANE_INLINE Lanes lanes_shift_left_4(Lanes a) {
    return _mm256_slli_epi32(a, 4); // a << 4
}
LANE_INLINE uint32_t lanes_last(Lanes a) {
    return static_cast<uint32_t>(_mm256_extract_epi32(a, 7)); // a[7]
}
LANE_INLINE bool lanes_all_zero(Lanes a) {
    return _mm256_testz_si256(a, a) != 0; // (a & a) == 0
}

constexpr uint32_t lane_bytes = 4 * (block_words / lanes);

#if defined(__x86_64__)

// Eight steps at a time, then a full transpose: with 16 vector registers the
// eight outputs stay in registers.
constexpr uint32_t group_steps = 8;

// v[k] holds step k of every lane; afterwards v[j] holds steps 0..7 of lane j.
LANE_INLINE void transpose(Lanes v[8]) {
    // In each 128-bit half h (lanes 4h ... 4h+3), of lane pairs:
    const Lanes t0 = _mm256_unpacklo_epi32(v[0], v[1]); // v0[0] v1[0] v0[1] v1[1]
    const Lanes t1 = _mm256_unpackhi_epi32(v[0], v[1]); // v0[2] v1[2] v0[3] v1[3]
    const Lanes t2 = _mm256_unpacklo_epi32(v[2], v[3]);
    const Lanes t3 = _mm256_unpackhi_epi32(v[2], v[3]);
    const Lanes t4 = _mm256_unpacklo_epi32(v[4], v[5]);
    const Lanes t5 = _mm256_unpackhi_epi32(v[4], v[5]);
    const Lanes t6 = _mm256_unpacklo_epi32(v[6], v[7]);
    const Lanes t7 = _mm256_unpackhi_epi32(v[6], v[7]);
    // In half h: steps 0..3 of lane 4h + 0 (u0), 1 (u1), 2 (u2), 3 (u3), and
    // steps 4..7 of the same lanes (u4 ... u7).
    const Lanes u0 = _mm256_unpacklo_epi64(t0, t2); // v0[0] v1[0] v2[0] v3[0]
    const Lanes u1 = _mm256_unpackhi_epi64(t0, t2); // v0[1] v1[1] v2[1] v3[1]
    const Lanes u2 = _mm256_unpacklo_epi64(t1, t3); // v0[2] v1[2] v2[2] v3[2]
    const Lanes u3 = _mm256_unpackhi_epi64(t1, t3); // v0[3] v1[3] v2[3] v3[3]
    const Lanes u4 = _mm256_unpacklo_epi64(t4, t6); // v4[0] v5[0] v6[0] v7[0]
    const Lanes u5 = _mm256_unpackhi_epi64(t4, t6);
    const Lanes u6 = _mm256_unpacklo_epi64(t5, t7);
    const Lanes u7 = _mm256_unpackhi_epi64(t5, t7);
    // The low halves make lanes 0..3, the high halves lanes 4..7.
    v[0] = _mm256_permute2x128_si256(u0, u4, 0x20); // low half of u0, low half of u4
    v[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
    v[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
    v[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
    v[4] = _mm256_permute2x128_si256(u0, u4, 0x31); // high half of u0, high half of u4
    v[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
    v[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
    v[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

LANE_INLINE void store_steps(Lanes v[8], unsigned char* block) {
    transpose(v);
    for (uint32_t j = 0; j < lanes; ++j) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(block + j * lane_bytes), v[j]);
    }
}

LANE_INLINE Lanes differ_steps(Lanes v[8], const unsigned char* input, Lanes differences) {
    transpose(v);
    for (uint32_t j = 0; j < lanes; ++j) {
        // differences |= v[j] ^ lane j's input words
        differences = lanes_or(differences, lanes_xor(v[j], lanes_loadu(input + j * lane_bytes)));
    }
    return differences;
}

#else

// 32-bit code has only 8 vector registers: four steps at a time keep the
// outputs out of memory (half again as fast there as eight steps).
constexpr uint32_t group_steps = 4;

// v[k] holds step k of every lane. Afterwards v[r] holds steps 0..3 of lane
// r in its low half and of lane r + 4 in its high half.
LANE_INLINE void transpose(Lanes v[4]) {
    const Lanes t0 = _mm256_unpacklo_epi32(v[0], v[1]); // v0[0] v1[0] v0[1] v1[1] in each half
    const Lanes t1 = _mm256_unpackhi_epi32(v[0], v[1]); // v0[2] v1[2] v0[3] v1[3]
    const Lanes t2 = _mm256_unpacklo_epi32(v[2], v[3]); // v2[0] v3[0] v2[1] v3[1]
    const Lanes t3 = _mm256_unpackhi_epi32(v[2], v[3]); // v2[2] v3[2] v2[3] v3[3]
    v[0] = _mm256_unpacklo_epi64(t0, t2);               // v0[0] v1[0] v2[0] v3[0]
    v[1] = _mm256_unpackhi_epi64(t0, t2);               // v0[1] v1[1] v2[1] v3[1]
    v[2] = _mm256_unpacklo_epi64(t1, t3);               // v0[2] v1[2] v2[2] v3[2]
    v[3] = _mm256_unpackhi_epi64(t1, t3);               // v0[3] v1[3] v2[3] v3[3]
}

LANE_INLINE void store_steps(Lanes v[4], unsigned char* block) {
    transpose(v);
    for (uint32_t r = 0; r < 4; ++r) {
        // lane r's words from the low half, lane r + 4's from the high half
        _mm_storeu_si128(reinterpret_cast<__m128i*>(block + r * lane_bytes),
                         _mm256_castsi256_si128(v[r]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(block + (r + 4) * lane_bytes),
                         _mm256_extracti128_si256(v[r], 1));
    }
}

LANE_INLINE Lanes differ_steps(Lanes v[4], const unsigned char* input, Lanes differences) {
    transpose(v);
    for (uint32_t r = 0; r < 4; ++r) {
        // lane r's input words in the low half, lane r + 4's in the high half
        const Lanes in = _mm256_inserti128_si256(
            _mm256_castsi128_si256(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(input + r * lane_bytes))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(input + (r + 4) * lane_bytes)), 1);
        differences = lanes_or(differences, lanes_xor(v[r], in)); // differences |= v[r] ^ in
    }
    return differences;
}

#endif

#include "lane_kernel.h"

} // namespace

LANE_FUNCTION void fill_block_avx2(GeneratorState* state, unsigned char* block) {
    fill_lanes(state, block);
}

LANE_FUNCTION bool match_block_avx2(GeneratorState* state, const unsigned char* input) {
    return match_lanes(state, input);
}

#endif
