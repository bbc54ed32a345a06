#include "engines/zip/container/Pbkdf2Lanes.h"

#if defined(__x86_64__)

#include <cpuid.h>
#include <immintrin.h>
#include <utility>

#define VEXA_SHA_CODE __attribute__((target("sha,sse4.1,ssse3"), always_inline)) inline

namespace vexa {

namespace {

bool processorHasSha() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return false;
    const bool sse = (c & bit_SSE4_1) != 0 && (c & bit_SSSE3) != 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return false;
    return sse && (b & bit_SHA) != 0;
}

// A SHA-1 state as the instructions hold it: a, b, c, d from the top lane down, and e in the
// top lane of its own register. A 20-byte digest fed as a message has the same layout.
struct State {
    __m128i abcd;
    __m128i e;
};

// Group I (rounds 4I to 4I+3) of every lane, with the message schedule of the groups to come.
template <int I, int L>
VEXA_SHA_CODE void group(__m128i (&abcd)[L], __m128i (&saved)[L], __m128i (&m)[L][4]) {
#pragma GCC unroll 4
    for (int l = 0; l < L; ++l) {
        const __m128i e =
            I == 0 ? _mm_add_epi32(saved[l], m[l][0]) : _mm_sha1nexte_epu32(saved[l], m[l][I % 4]);
        saved[l] = abcd[l];
        abcd[l] = _mm_sha1rnds4_epu32(abcd[l], e, I / 5);
        if constexpr (I >= 1 && I <= 16)
            m[l][(I + 3) % 4] = _mm_sha1msg1_epu32(m[l][(I + 3) % 4], m[l][I % 4]);
        if constexpr (I >= 2 && I <= 17)
            m[l][(I + 2) % 4] = _mm_xor_si128(m[l][(I + 2) % 4], m[l][I % 4]);
        if constexpr (I >= 3 && I <= 18)
            m[l][(I + 1) % 4] = _mm_sha1msg2_epu32(m[l][(I + 1) % 4], m[l][I % 4]);
    }
}

template <int L, int... I>
VEXA_SHA_CODE void groups(__m128i (&abcd)[L], __m128i (&saved)[L], __m128i (&m)[L][4],
                          std::integer_sequence<int, I...>) {
    (group<I, L>(abcd, saved, m), ...);
}

// Replaces each lane's digest with the hash of that digest behind the key block of `key`: the
// message is the 20 digest bytes, the end mark and the length of 84 bytes in bits.
template <int L> VEXA_SHA_CODE void hashDigests(const State& key, State (&lanes)[L]) {
    const __m128i mark = _mm_set_epi32(0, static_cast<int>(0x80000000u), 0, 0);
    const __m128i length = _mm_set_epi32(0, 0, 0, (64 + 20) * 8);
    __m128i abcd[L], saved[L], m[L][4];
#pragma GCC unroll 4
    for (int l = 0; l < L; ++l) {
        abcd[l] = key.abcd;
        saved[l] = key.e;
        m[l][0] = lanes[l].abcd;
        m[l][1] = _mm_blend_epi16(lanes[l].e, mark, 0x3F);
        m[l][2] = _mm_setzero_si128();
        m[l][3] = length;
    }
    groups<L>(abcd, saved, m, std::make_integer_sequence<int, 20>());
#pragma GCC unroll 4
    for (int l = 0; l < L; ++l) {
        lanes[l].e = _mm_sha1nexte_epu32(saved[l], key.e);
        lanes[l].abcd = _mm_add_epi32(abcd[l], key.abcd);
    }
}

State stateOf(const SHA_CTX& context) {
    return {_mm_set_epi32(static_cast<int>(context.h0), static_cast<int>(context.h1),
                          static_cast<int>(context.h2), static_cast<int>(context.h3)),
            _mm_set_epi32(static_cast<int>(context.h4), 0, 0, 0)};
}

uint32_t wordAt(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

template <int L>
__attribute__((target("sha,sse4.1,ssse3"))) void
rounds(const SHA_CTX& innerContext, const SHA_CTX& outerContext, uint8_t (*blocks)[20],
       unsigned iterations) {
    const State inner = stateOf(innerContext);
    const State outer = stateOf(outerContext);
    State u[L], t[L];
#pragma GCC unroll 4
    for (int l = 0; l < L; ++l) {
        const uint8_t* bytes = blocks[l];
        u[l] = {_mm_set_epi32(static_cast<int>(wordAt(bytes)), static_cast<int>(wordAt(bytes + 4)),
                              static_cast<int>(wordAt(bytes + 8)),
                              static_cast<int>(wordAt(bytes + 12))),
                _mm_set_epi32(static_cast<int>(wordAt(bytes + 16)), 0, 0, 0)};
        t[l] = u[l];
    }
    for (unsigned i = 1; i < iterations; ++i) {
        hashDigests<L>(inner, u);
        hashDigests<L>(outer, u);
#pragma GCC unroll 4
        for (int l = 0; l < L; ++l) {
            t[l].abcd = _mm_xor_si128(t[l].abcd, u[l].abcd);
            t[l].e = _mm_xor_si128(t[l].e, u[l].e);
        }
    }
#pragma GCC unroll 4
    for (int l = 0; l < L; ++l) {
        alignas(16) uint32_t words[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(words), t[l].abcd);
        _mm_store_si128(reinterpret_cast<__m128i*>(words + 4), t[l].e);
        const uint32_t ordered[5] = {words[3], words[2], words[1], words[0], words[7]};
        for (int w = 0; w < 5; ++w)
            for (int k = 0; k < 4; ++k)
                blocks[l][4 * w + k] = static_cast<uint8_t>(ordered[w] >> (24 - 8 * k));
        volatile uint32_t* wipe = words;
        for (int w = 0; w < 8; ++w)
            wipe[w] = 0;
    }
}

} // namespace

bool pbkdf2RoundsInLanes(const SHA_CTX& inner, const SHA_CTX& outer, uint8_t (*blocks)[20],
                         size_t count, unsigned iterations) {
    static const bool available = processorHasSha();
    if (!available || count == 0 || count > 4)
        return false;
    switch (count) {
    case 1:
        rounds<1>(inner, outer, blocks, iterations);
        break;
    case 2:
        rounds<2>(inner, outer, blocks, iterations);
        break;
    case 3:
        rounds<3>(inner, outer, blocks, iterations);
        break;
    default:
        rounds<4>(inner, outer, blocks, iterations);
        break;
    }
    return true;
}

} // namespace vexa

#else

namespace vexa {

bool pbkdf2RoundsInLanes(const SHA_CTX&, const SHA_CTX&, uint8_t (*)[20], size_t, unsigned) {
    return false;
}

} // namespace vexa

#endif
