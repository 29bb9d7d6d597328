#include "checks/text_search.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

void FoldAscii(char* dst, const char* src, size_t n) {
    // Branch-free so the compiler turns it into vector code.
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(src[i]);
        dst[i] = static_cast<char>(c + ((static_cast<unsigned char>(c - 'A') < 26) << 5));
    }
}

size_t FindBytes(const char* hay, size_t n, const char* needle, size_t m) {
    if (m == 0 || m > n) return kNoPos;
    if (m == 1) {
        const void* p = std::memchr(hay, needle[0], n);
        return p == nullptr ? kNoPos : static_cast<size_t>(static_cast<const char*>(p) - hay);
    }
    size_t i = 0;
#if defined(__SSE2__)
    // Compare the first and the last byte of the needle at 16 positions at
    // once and check the full needle only where both agree.
    const __m128i first = _mm_set1_epi8(needle[0]);
    const __m128i last = _mm_set1_epi8(needle[m - 1]);
    for (; i + m - 1 + 16 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i + m - 1));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
        while (mask != 0) {
            const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (std::memcmp(hay + i + bit + 1, needle + 1, m - 2) == 0) return i + bit;
            mask &= mask - 1;
        }
    }
#endif
    if (i + m > n) return kNoPos;
    const void* p = memmem(hay + i, n - i, needle, m);
    return p == nullptr ? kNoPos : static_cast<size_t>(static_cast<const char*>(p) - hay);
}

size_t FindCounting(const char* hay, size_t n, const char* needle, size_t m, bool wholeWord, size_t start,
                    bool final) {
    if (m == 0) return kNoPos;
    // In a piece of a line the byte after an occurrence must be known.
    const size_t limit = final ? n : (n == 0 ? 0 : n - 1);
    size_t p = start;
    while (p < limit && limit - p >= m) {
        const size_t rel = FindBytes(hay + p, limit - p, needle, m);
        if (rel == kNoPos) return kNoPos;
        const size_t q = p + rel;
        if (!wholeWord) return q;
        const bool before = q > 0 && IsAsciiAlnum(static_cast<unsigned char>(hay[q - 1]));
        const bool behind = q + m < n && IsAsciiAlnum(static_cast<unsigned char>(hay[q + m]));
        if (!before && !behind) return q;
        p = q + 1;
    }
    return kNoPos;
}
