/* The last step of get_frame, kept apart from the module so that the fuzz
 * target of the whole in-memory pipeline runs the very same code. */
#ifndef LURVO_IMAGE_FILL_H
#define LURVO_IMAGE_FILL_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lurvo {

/* This is the one pass over the frame that writes the array, so it runs
 * 16 samples at a time; SSE2 is part of every x86-64.  A shift count of 16
 * in _mm_sll_epi16 clears the lane, as the scalar shift does.  Returns how
 * many samples it filled; the rest are left to the scalar loop. */
#if defined(__SSE2__)
inline std::size_t fill_frame_vector(std::uint16_t *__restrict out,
                                     const unsigned char *__restrict samples,
                                     std::size_t count, unsigned bpp)
{
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(16 - bpp));
    const __m128i zero = _mm_setzero_si128();
    std::size_t i = 0;
    if (bpp <= 8) {
        for (; count - i >= 16; i += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(samples + i));
            const __m128i low = _mm_sll_epi16(_mm_unpacklo_epi8(bytes, zero), shift);
            const __m128i high = _mm_sll_epi16(_mm_unpackhi_epi8(bytes, zero), shift);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), low);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i + 8), high);
        }
        return i;
    }
    const std::uint16_t *wide = reinterpret_cast<const std::uint16_t *>(samples);
    for (; count - i >= 16; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(wide + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(wide + i + 8));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_sll_epi16(a, shift));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i + 8), _mm_sll_epi16(b, shift));
    }
    return i;
}
#else
inline std::size_t fill_frame_vector(std::uint16_t *, const unsigned char *, std::size_t, unsigned)
{
    return 0;
}
#endif

/* Widens each of the `count` samples that extract_pgm left at `samples` to
 * 16 bits, with its most significant bit on bit 15: bytes when bpp <= 8,
 * native uint16_t values otherwise (`samples` must then be 2-byte aligned,
 * as a malloc'd buffer is).  bpp 0 (a maxval of 0) shifts by 16: every
 * element becomes 0. */
inline void fill_frame(std::uint16_t *__restrict out, const unsigned char *__restrict samples,
                       std::size_t count, unsigned bpp)
{
    const unsigned shift = 16 - bpp;
    if (bpp > 8 && shift == 0) {
        std::memcpy(out, samples, count * sizeof *out);
        return;
    }
    std::size_t i = fill_frame_vector(out, samples, count, bpp);
    if (bpp <= 8) {
        for (; i < count; ++i)
            out[i] = static_cast<std::uint16_t>(static_cast<unsigned>(samples[i]) << shift);
        return;
    }
    const std::uint16_t *wide = reinterpret_cast<const std::uint16_t *>(samples);
    for (; i < count; ++i)
        out[i] = static_cast<std::uint16_t>(static_cast<unsigned>(wide[i]) << shift);
}

}  // namespace lurvo

#endif /* LURVO_IMAGE_FILL_H */
