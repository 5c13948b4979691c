// The sixteen-lane AVX-512 path: lane j runs words j*256 ... j*256+255 of
// the block; every four steps the lanes' outputs are transposed in groups of
// four lanes and stored a quarter register at a time. The kernel is
// lane_kernel.h; here are AVX-512's operations and its transpose.
#include "fill_paths.h"
#include "generator.h"
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
#define LANE_FUNCTION __attribute__((target("avx512f"), force_align_arg_pointer))
#define LANE_INLINE __attribute__((target("avx512f"), always_inline)) inline

namespace {

typedef __m512i Lanes;
constexpr uint32_t lanes = fill_path_lanes("avx512");
constexpr uint32_t group_steps = 4;

// The ternary-logic immediate for a ^ b ^ c: the function's truth table,
// evaluated on a = 0xF0, b = 0xCC, c = 0xAA.
constexpr int xor3 = 0x96;
// And for a | (b ^ c).
constexpr int or_xor = 0xF6;

LANE_INLINE Lanes lanes_zero() {
    return _mm512_setzero_si512(); // 0
}
LANE_INLINE Lanes lanes_splat(uint32_t x) {
    return _mm512_set1_epi32(static_cast<int>(x)); // x
}
LANE_INLINE Lanes lanes_load(const uint32_t* p) {
    return _mm512_load_si512(p); // p[j], p aligned
}
LANE_INLINE Lanes lanes_loadu(const void* p) {
    return _mm512_loadu_si512(p); // p[j]
}
LANE_INLINE Lanes lanes_xor(Lanes a, Lanes b) {
    return _mm512_xor_si512(a, b); // a ^ b
}
LANE_INLINE Lanes lanes_xor3(Lanes a, Lanes b, Lanes c) {
    return _mm512_ternarylogic_epi32(a, b, c, xor3); // a ^ b ^ c, one instruction
}
LANE_INLINE Lanes lanes_add(Lanes a, Lanes b) {
    return _mm512_add_epi32(a, b); // a + b
}
LANE_INLINE Lanes lanes_shift_right_2(Lanes a) {
    return _mm512_srli_epi32(a, 2); // a >> 2
}
LANE_INLINE Lanes lanes_shift_left_4(Lanes a) {
    return _mm512_slli_epi32(a, 4); // a << 4
}
LANE_INLINE uint32_t lanes_last(Lanes a) {
    return static_cast<uint32_t>(_mm_extract_epi32(_mm512_extracti32x4_epi32(a, 3), 3)); // a[15]
}
LANE_INLINE bool lanes_all_zero(Lanes a) {
    return _mm512_test_epi32_mask(a, a) == 0; // no lane with a & a != 0
}

constexpr uint32_t lane_bytes = 4 * (block_words / lanes);

// v[k] holds step k of every lane. Afterwards quarter q of v[r] holds steps
// 0..3 of lane 4q + r.
LANE_INLINE void transpose(Lanes v[4]) {
    // In every quarter:
    const Lanes t0 = _mm512_unpacklo_epi32(v[0], v[1]); // v0[0] v1[0] v0[1] v1[1]
    const Lanes t1 = _mm512_unpackhi_epi32(v[0], v[1]); // v0[2] v1[2] v0[3] v1[3]
    const Lanes t2 = _mm512_unpacklo_epi32(v[2], v[3]); // v2[0] v3[0] v2[1] v3[1]
    const Lanes t3 = _mm512_unpackhi_epi32(v[2], v[3]); // v2[2] v3[2] v2[3] v3[3]
    v[0] = _mm512_unpacklo_epi64(t0, t2);               // v0[0] v1[0] v2[0] v3[0]
    v[1] = _mm512_unpackhi_epi64(t0, t2);               // v0[1] v1[1] v2[1] v3[1]
    v[2] = _mm512_unpacklo_epi64(t1, t3);               // v0[2] v1[2] v2[2] v3[2]
    v[3] = _mm512_unpackhi_epi64(t1, t3);               // v0[3] v1[3] v2[3] v3[3]
}

// Stores quarter q of u (q = 1, 2, 3) at p, straight from the register.
// GCC 12 takes the quarter out with a shuffle first, which costs the one
// shuffle port more than the whole step does; the store form of the
// instruction needs no shuffle port.
template <int quarter> LANE_INLINE void store_quarter(unsigned char* p, Lanes u) {
    __asm__("vextracti32x4 %2, %1, %0"
            : "=m"(*reinterpret_cast<__m128i*>(p))
            : "v"(u), "i"(quarter));
}

LANE_INLINE void store_steps(Lanes v[4], unsigned char* block) {
    transpose(v);
    for (uint32_t r = 0; r < 4; ++r) {
        // quarter q of v[r] to lane 4q + r's segment
        unsigned char* lane_start = block + r * lane_bytes;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lane_start), _mm512_castsi512_si128(v[r]));
        store_quarter<1>(lane_start + 4 * lane_bytes, v[r]);
        store_quarter<2>(lane_start + 8 * lane_bytes, v[r]);
        store_quarter<3>(lane_start + 12 * lane_bytes, v[r]);
    }
}

LANE_INLINE __m128i load_quarter(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); // p[0..3]
}

LANE_INLINE Lanes differ_steps(Lanes v[4], const unsigned char* input, Lanes differences) {
    transpose(v);
    for (uint32_t r = 0; r < 4; ++r) {
        // quarter q of in: lane 4q + r's input words
        const unsigned char* lane_start = input + r * lane_bytes;
        Lanes in = _mm512_castsi128_si512(load_quarter(lane_start));
        in = _mm512_inserti32x4(in, load_quarter(lane_start + 4 * lane_bytes), 1);
        in = _mm512_inserti32x4(in, load_quarter(lane_start + 8 * lane_bytes), 2);
        in = _mm512_inserti32x4(in, load_quarter(lane_start + 12 * lane_bytes), 3);
        // differences |= v[r] ^ in, one instruction
        differences = _mm512_ternarylogic_epi32(differences, v[r], in, or_xor);
    }
    return differences;
}

#include "lane_kernel.h"

} // namespace

LANE_FUNCTION void fill_block_avx512(GeneratorState* state, unsigned char* block) {
    fill_lanes(state, block);
}

LANE_FUNCTION bool match_block_avx512(GeneratorState* state, const unsigned char* input) {
    return match_lanes(state, input);
}

#endif
