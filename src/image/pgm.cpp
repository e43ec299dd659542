// Binary PGM extraction.
//
// The camera server writes one exact header form, "P5\n<w> <h>\n<maxval>\n",
// so anything else (comments, CR, tabs, several spaces) is refused rather
// than tolerated.  The header is read one field at a time.  extract_pgm
// then moves the samples to the start of the buffer: 8-bit data with one
// memmove, 16-bit data by converting each big-endian pair to a native
// uint16_t where it lies.  get_frame reads the header the same way but
// converts the samples from where they lie straight into its array.
//
// The in-place 16-bit conversion runs from offset header + 2i to 2i, in
// ascending order.  That is safe block by block as long as a block is read
// completely before it is written: a block of K samples at i writes
// [2i, 2i + 2K), which ends at or before the next block's source start
// header + 2(i + K), so no source byte is overwritten before it is read.
//
// The blocks take SSE2 where the target has it, and otherwise plain loops
// over a block buffer (pgm_parts.h chooses).  Both give the bytes of the
// scalar ascending loop.

#include "image/pgm.h"
#include "image/pgm_parts.h"

#include "error_text.h"

#ifdef LURVO_SSE2_SAMPLES
#include <emmintrin.h>
#endif

#include <climits>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kMagicLength = 3;        // "P5\n"
constexpr std::size_t kBlockSamples = 16;      // one step of the vector loops

using lurvo::set_error;

bool is_digit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

// Reads the decimal field starting at *pos, which must end with terminator,
// and leaves *pos just past the terminator.  The value is kept in 16 bits
// (wrapping modulo 65536), and *out follows it digit by digit so that a
// caller sees how far the field got even when it is refused.
bool read_field(const unsigned char *buf, std::size_t len, std::size_t *pos,
                unsigned char terminator, std::uint16_t *out)
{
    *out = 0;
    for (std::size_t i = *pos; i < len; ++i) {
        const unsigned char c = buf[i];
        if (c == terminator) {
            *pos = i + 1;
            return true;
        }
        if (!is_digit(c))
            return false;
        *out = static_cast<std::uint16_t>(*out * 10u + (c - '0'));
    }
    return false;
}

// Number of binary digits: 255 -> 8, 256 -> 9, 0 -> 0.
std::uint8_t bit_length(std::uint16_t value)
{
    std::uint8_t bits = 0;
    for (; value != 0; value = static_cast<std::uint16_t>(value >> 1))
        ++bits;
    return bits;
}

// Callers only test the sign, so a count too large for an int (possible
// only with buffers over 2 GB) is reported as INT_MAX, never as negative.
int as_result(std::uint64_t value)
{
    return value > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

// Checks "P5\n"; the first two failures have texts of their own.
bool magic_is_valid(const unsigned char *buf, std::size_t len, char *err_buf, std::size_t err_size)
{
    if (len <= 1 || buf[0] != 'P') {
        set_error(err_buf, err_size, "cannot extract PGM, header not valid");
        return false;
    }
    if (buf[1] != '5') {
        set_error(err_buf, err_size, "unknown PGM type P%d", static_cast<int>(buf[1]) - '0');
        return false;
    }
    if (len < kMagicLength || buf[2] != '\n') {
        set_error(err_buf, err_size, "error in PGM");
        return false;
    }
    return true;
}

// The sizes are 64-bit so that header + 2 * samples cannot wrap: a 32-bit
// sum could pass the check and let the conversion run past the data.
bool buffer_holds(std::size_t len, std::size_t header, std::uint64_t sample_bytes,
                  std::uint64_t samples, char *err_buf, std::size_t err_size)
{
    if (static_cast<std::uint64_t>(len) >= static_cast<std::uint64_t>(header) + sample_bytes)
        return true;
    set_error(err_buf, err_size, "buffer too small (%ld, need %ld)",
              static_cast<long>(len), static_cast<long>(samples));
    return false;
}

// The rule every route follows: one sample, read where it lies, moved up
// by `shift` (0 to 16) and cut to 16 bits.
inline std::uint16_t shifted_sample(const unsigned char *src, std::size_t i, bool wide,
                                    unsigned shift)
{
    const unsigned raw = wide ? (src[2 * i] << 8) | src[2 * i + 1] : src[i];
    return static_cast<std::uint16_t>(raw << shift);
}

#ifdef LURVO_SSE2_SAMPLES

constexpr std::size_t kRegisterBytes = 16;

inline __m128i load_register(const unsigned char *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

inline void store_register(unsigned char *p, __m128i value)
{
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), value);
}

// A shift count of 16 or more in _mm_sll_epi16 clears the lane, as the
// scalar tail's shift does after the cut to 16 bits.
std::size_t convert_bytes_in_blocks(unsigned char *dst, const unsigned char *src,
                                    std::size_t count, __m128i shift)
{
    const __m128i zero = _mm_setzero_si128();
    std::size_t i = 0;
    for (; count - i >= kBlockSamples; i += kBlockSamples) {
        const __m128i bytes = load_register(src + i);
        store_register(dst + 2 * i, _mm_sll_epi16(_mm_unpacklo_epi8(bytes, zero), shift));
        store_register(dst + 2 * i + kRegisterBytes,
                       _mm_sll_epi16(_mm_unpackhi_epi8(bytes, zero), shift));
    }
    return i;
}

inline __m128i native_order(__m128i pairs)
{
    return _mm_or_si128(_mm_slli_epi16(pairs, 8), _mm_srli_epi16(pairs, 8));
}

// Both registers are loaded before either is stored, which keeps every
// 32-byte block read-before-write (see the top of the file).
std::size_t convert_pairs_in_blocks(unsigned char *dst, const unsigned char *src,
                                    std::size_t count, __m128i shift)
{
    std::size_t i = 0;
    for (; count - i >= kBlockSamples; i += kBlockSamples) {
        const __m128i low = load_register(src + 2 * i);
        const __m128i high = load_register(src + 2 * i + kRegisterBytes);
        store_register(dst + 2 * i, _mm_sll_epi16(native_order(low), shift));
        store_register(dst + 2 * i + kRegisterBytes, _mm_sll_epi16(native_order(high), shift));
    }
    return i;
}

#else

// A whole block is read into `block` before any of it is stored, which
// keeps every block read-before-write (see the top of the file).
template <bool wide>
std::size_t convert_in_blocks(unsigned char *dst, const unsigned char *src, std::size_t count,
                              unsigned shift)
{
    std::size_t i = 0;
    for (; count - i >= kBlockSamples; i += kBlockSamples) {
        std::uint16_t block[kBlockSamples];
        for (std::size_t k = 0; k < kBlockSamples; ++k)
            block[k] = shifted_sample(src, i + k, wide, shift);
        std::memcpy(dst + 2 * i, block, sizeof block);
    }
    return i;
}

#endif  // LURVO_SSE2_SAMPLES

}  // namespace

// The vector loops take whole blocks of 16 samples; the rest, one at a
// time, each read before its result is stored.
void lurvo::convert_samples(unsigned char *dst, const unsigned char *src, std::size_t count,
                            bool wide, unsigned shift)
{
#ifdef LURVO_SSE2_SAMPLES
    const __m128i vector_shift = _mm_cvtsi32_si128(static_cast<int>(shift));
    std::size_t i = wide ? convert_pairs_in_blocks(dst, src, count, vector_shift)
                         : convert_bytes_in_blocks(dst, src, count, vector_shift);
#else
    std::size_t i = wide ? convert_in_blocks<true>(dst, src, count, shift)
                         : convert_in_blocks<false>(dst, src, count, shift);
#endif
    for (; i < count; ++i) {
        const std::uint16_t sample = shifted_sample(src, i, wide, shift);
        std::memcpy(dst + 2 * i, &sample, sizeof sample);
    }
}

bool lurvo::read_pgm_header(const unsigned char *data, std::size_t len, PgmHeader *header,
                            char *err_buf, std::size_t err_size)
{
    if (data == nullptr)
        len = 0;
    if (!magic_is_valid(data, len, err_buf, err_size))
        return false;

    std::size_t pos = kMagicLength;
    if (!read_field(data, len, &pos, ' ', &header->width)
        || !read_field(data, len, &pos, '\n', &header->height)
        || !read_field(data, len, &pos, '\n', &header->maxval)) {
        set_error(err_buf, err_size, "error in PGM");
        return false;
    }
    header->length = pos;
    header->samples = static_cast<std::uint64_t>(header->width) * header->height;
    const std::uint64_t sample_bytes = header->wide() ? 2 * header->samples : header->samples;
    if (!buffer_holds(len, pos, sample_bytes, header->samples, err_buf, err_size))
        return false;
    header->bpp = bit_length(header->maxval);
    return true;
}

extern "C" int extract_pgm(unsigned char *buf, std::size_t len, std::uint16_t *width,
                           std::uint16_t *height, std::uint8_t *bpp,
                           char *err_buf, std::size_t err_size)
{
    // The fields the header does not reach keep the caller's values.
    lurvo::PgmHeader header;
    if (width != nullptr)
        header.width = *width;
    if (height != nullptr)
        header.height = *height;
    const bool ok = lurvo::read_pgm_header(buf, len, &header, err_buf, err_size);
    if (width != nullptr)
        *width = header.width;
    if (height != nullptr)
        *height = header.height;
    if (!ok)
        return -1;

    const std::size_t samples = static_cast<std::size_t>(header.samples);
    if (bpp != nullptr)
        *bpp = header.bpp;
    if (!header.wide()) {
        std::memmove(buf, buf + header.length, samples);
        return as_result(samples);
    }
    lurvo::convert_samples(buf, buf + header.length, samples, true, 0);
    return as_result(header.length);
}
