// The four-lane SSE2 path: lane j runs words j*1024 ... j*1024+1023 of the
// block; every four steps the four lanes' outputs are transposed into place.
// The kernel is lane_kernel.h; here are SSE2's operations and its transpose.
#include "fill_paths.h"
#include "generator.h"
#include "jump.h"

#if defined(__i386__) || defined(__x86_64__)

#include <emmintrin.h>

// The 32-bit build cannot assume SSE2, so these functions carry it as an
// attribute of their own; nothing shared with the rest of the program is
// compiled for it. The entry realigns the stack: 32-bit Windows promises
// only 4-byte alignment, and vector spills need 16.
#define LANE_FUNCTION __attribute__((target("sse2"), force_align_arg_pointer))
#define LANE_INLINE __attribute__((target("sse2"), always_inline)) inline

namespace {

typedef __m128i Lanes;
constexpr uint32_t lanes = fill_path_lanes("sse2");
constexpr uint32_t group_steps = 4;

LANE_INLINE Lanes lanes_zero() {
    return _mm_setzero_si128(); // 0
}
LANE_INLINE Lanes lanes_splat(uint32_t x) {
    return _mm_set1_epi32(static_cast<int>(x)); // x
}
LANE_INLINE Lanes lanes_load(const uint32_t* p) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); // p[j], p aligned
}
LANE_INLINE Lanes lanes_loadu(const void* p) {
    return _mm_loadu_si128(static_cast<const __m128i*>(p)); // p[j]
}
LANE_INLINE Lanes lanes_xor(Lanes a, Lanes b) {
    return _mm_xor_si128(a, b); // a ^ b
}
LANE_INLINE Lanes lanes_xor3(Lanes a, Lanes b, Lanes c) {
    return _mm_xor_si128(_mm_xor_si128(a, b), c); // (a ^ b) ^ c
}
LANE_INLINE Lanes lanes_or(Lanes a, Lanes b) {
    return _mm_or_si128(a, b); // a | b
}
LANE_INLINE Lanes lanes_add(Lanes a, Lanes b) {
    return _mm_add_epi32(a, b); // a + b
}
LANE_INLINE Lanes lanes_shift_right_2(Lanes a) {
    return _mm_srli_epi32(a, 2); // a >> 2
}
LANE_INLINE Lanes lanes_shift_left_4(Lanes a) {
    return _mm_slli_epi32(a, 4); // a << 4
}
LANE_INLINE uint32_t lanes_last(Lanes a) {
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(a, 0xFF))); // a[3]
}
LANE_INLINE bool lanes_all_zero(Lanes a) {
    // every byte of a == 0
    return _mm_movemask_epi8(_mm_cmpeq_epi8(a, _mm_setzero_si128())) == 0xFFFF;
}

// v[k] holds step k of every lane; afterwards v[j] holds steps 0..3 of lane j.
LANE_INLINE void transpose(Lanes v[4]) {
    const Lanes t0 = _mm_unpacklo_epi32(v[0], v[1]); // v0[0] v1[0] v0[1] v1[1]
    const Lanes t1 = _mm_unpacklo_epi32(v[2], v[3]); // v2[0] v3[0] v2[1] v3[1]
    const Lanes t2 = _mm_unpackhi_epi32(v[0], v[1]); // v0[2] v1[2] v0[3] v1[3]
    const Lanes t3 = _mm_unpackhi_epi32(v[2], v[3]); // v2[2] v3[2] v2[3] v3[3]
    v[0] = _mm_unpacklo_epi64(t0, t1);               // v0[0] v1[0] v2[0] v3[0]
    v[1] = _mm_unpackhi_epi64(t0, t1);               // v0[1] v1[1] v2[1] v3[1]
    v[2] = _mm_unpacklo_epi64(t2, t3);               // v0[2] v1[2] v2[2] v3[2]
    v[3] = _mm_unpackhi_epi64(t2, t3);               // v0[3] v1[3] v2[3] v3[3]
}

constexpr uint32_t lane_bytes = 4 * (block_words / lanes);

LANE_INLINE void store_steps(Lanes v[4], unsigned char* block) {
    transpose(v);
    for (uint32_t j = 0; j < lanes; ++j) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(block + j * lane_bytes), v[j]);
    }
}

LANE_INLINE Lanes differ_steps(Lanes v[4], const unsigned char* input, Lanes differences) {
    transpose(v);
    for (uint32_t j = 0; j < lanes; ++j) {
        // differences |= v[j] ^ lane j's input words
        differences = lanes_or(differences, lanes_xor(v[j], lanes_loadu(input + j * lane_bytes)));
    }
    return differences;
}

#include "lane_kernel.h"

} // namespace

LANE_FUNCTION void fill_block_sse2(GeneratorState* state, unsigned char* block) {
    fill_lanes(state, block);
}

LANE_FUNCTION bool match_block_sse2(GeneratorState* state, const unsigned char* input) {
    return match_lanes(state, input);
}

#endif
