// Binary PGM extraction, in place.
//
// The camera server writes one exact header form, "P5\n<w> <h>\n<maxval>\n",
// so anything else (comments, CR, tabs, several spaces) is refused rather
// than tolerated.  The header is read one field at a time; the samples are
// then moved to the start of the buffer: 8-bit data with one memmove,
// 16-bit data by converting each big-endian pair to a native uint16_t.
//
// The 16-bit conversion runs in place, from offset header + 2i to 2i, in
// ascending order.  That is safe block by block as long as a block is read
// completely before it is written: a block of K samples at i writes
// [2i, 2i + 2K), which ends at or before the next block's source start
// header + 2(i + K), so no source byte is overwritten before it is read.

#include "image/pgm.h"

#include "common/error_text.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

// LURVO_SCALAR_SWAP keeps only the one-sample loop (the benchmark's
// reference); LURVO_PORTABLE_SWAP forces the plain C++ block loop so that it
// can be tested on x86-64 too.  SSE2 is always present on x86-64, so it
// needs no run-time check.
#if defined(LURVO_SCALAR_SWAP)
#define LURVO_SWAP_SCALAR 1
#elif defined(__SSE2__) && !defined(LURVO_PORTABLE_SWAP)
#define LURVO_SWAP_SSE2 1
#include <emmintrin.h>
#else
#define LURVO_SWAP_BLOCKS 1
#endif

namespace {

constexpr std::size_t kMagicLength = 3;        // "P5\n"
constexpr std::uint16_t kMaxByteSample = 255;

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
                unsigned char terminator, std::uint16_t *out, std::uint16_t *value)
{
    std::uint16_t accumulated = 0;
    *out = accumulated;
    for (std::size_t i = *pos; i < len; ++i) {
        const unsigned char c = buf[i];
        if (c == terminator) {
            *pos = i + 1;
            *value = accumulated;
            return true;
        }
        if (!is_digit(c))
            return false;
        accumulated = static_cast<std::uint16_t>(accumulated * 10u + (c - '0'));
        *out = accumulated;
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

// One sample: the pair is read before the result is stored, since the
// destination may overlap the source.
inline void convert_sample(unsigned char *dst, const unsigned char *src)
{
    const std::uint16_t sample = static_cast<std::uint16_t>((src[0] << 8) | src[1]);
    std::memcpy(dst, &sample, sizeof sample);
}

void convert_samples_one_by_one(unsigned char *buf, std::size_t header,
                                std::size_t first, std::size_t count)
{
    for (std::size_t i = first; i < count; ++i)
        convert_sample(buf + 2 * i, buf + header + 2 * i);
}

#if defined(LURVO_SWAP_SSE2)
constexpr std::size_t kVectorSamples = 8;      // one 16-byte register
constexpr std::size_t kVectorBytes = 2 * kVectorSamples;

inline __m128i swap_pairs(__m128i pairs)
{
    return _mm_or_si128(_mm_slli_epi16(pairs, 8), _mm_srli_epi16(pairs, 8));
}

// Converts whole pairs of registers and returns how many samples it did.
// Both registers are loaded before either is stored, which keeps every
// 32-byte block read-before-write (see the top of the file).
std::size_t convert_samples_in_blocks(unsigned char *buf, std::size_t header, std::size_t count)
{
    std::size_t i = 0;
    for (; count - i >= 2 * kVectorSamples; i += 2 * kVectorSamples) {
        const unsigned char *src = buf + header + 2 * i;
        unsigned char *dst = buf + 2 * i;
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + kVectorBytes));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), swap_pairs(low));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + kVectorBytes), swap_pairs(high));
    }
    return i;
}
#elif defined(LURVO_SWAP_BLOCKS)
constexpr std::size_t kBlockSamples = 32;

// Copies each block into local arrays first, so the block is read before
// it is written; the inner loop is simple enough for the compiler to
// vectorise.  Returns how many samples it did.
std::size_t convert_samples_in_blocks(unsigned char *buf, std::size_t header, std::size_t count)
{
    std::size_t i = 0;
    for (; count - i >= kBlockSamples; i += kBlockSamples) {
        unsigned char pairs[2 * kBlockSamples];
        std::uint16_t samples[kBlockSamples];
        std::memcpy(pairs, buf + header + 2 * i, sizeof pairs);
        for (std::size_t k = 0; k < kBlockSamples; ++k)
            samples[k] = static_cast<std::uint16_t>((pairs[2 * k] << 8) | pairs[2 * k + 1]);
        std::memcpy(buf + 2 * i, samples, sizeof samples);
    }
    return i;
}
#endif

void convert_16bit_samples(unsigned char *buf, std::size_t header, std::size_t count)
{
#if defined(LURVO_SWAP_SCALAR)
    const std::size_t done = 0;
#else
    const std::size_t done = convert_samples_in_blocks(buf, header, count);
#endif
    convert_samples_one_by_one(buf, header, done, count);
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

int extract_8bit(unsigned char *buf, std::size_t len, std::size_t header, std::uint64_t samples,
                 std::uint16_t maxval, std::uint8_t *bpp, char *err_buf, std::size_t err_size)
{
    if (!buffer_holds(len, header, samples, samples, err_buf, err_size))
        return -1;
    std::memmove(buf, buf + header, static_cast<std::size_t>(samples));
    *bpp = bit_length(maxval);
    return as_result(samples);
}

int extract_16bit(unsigned char *buf, std::size_t len, std::size_t header, std::uint64_t samples,
                  std::uint16_t maxval, std::uint8_t *bpp, char *err_buf, std::size_t err_size)
{
    if (!buffer_holds(len, header, 2 * samples, samples, err_buf, err_size))
        return -1;
    convert_16bit_samples(buf, header, static_cast<std::size_t>(samples));
    *bpp = bit_length(maxval);
    return as_result(header);
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

}  // namespace

extern "C" int extract_pgm(unsigned char *buf, std::size_t len, std::uint16_t *width,
                           std::uint16_t *height, std::uint8_t *bpp,
                           char *err_buf, std::size_t err_size)
{
    std::uint16_t width_scratch = 0, height_scratch = 0;
    std::uint8_t bpp_scratch = 0;
    if (width == nullptr)
        width = &width_scratch;
    if (height == nullptr)
        height = &height_scratch;
    if (bpp == nullptr)
        bpp = &bpp_scratch;
    if (buf == nullptr)
        len = 0;

    if (!magic_is_valid(buf, len, err_buf, err_size))
        return -1;

    std::size_t pos = kMagicLength;
    std::uint16_t columns = 0, rows = 0, maxval = 0, maxval_out = 0;
    if (!read_field(buf, len, &pos, ' ', width, &columns)
        || !read_field(buf, len, &pos, '\n', height, &rows)
        || !read_field(buf, len, &pos, '\n', &maxval_out, &maxval)) {
        set_error(err_buf, err_size, "error in PGM");
        return -1;
    }

    const std::size_t header = pos;
    const std::uint64_t samples = static_cast<std::uint64_t>(columns) * rows;
    if (maxval <= kMaxByteSample)
        return extract_8bit(buf, len, header, samples, maxval, bpp, err_buf, err_size);
    return extract_16bit(buf, len, header, samples, maxval, bpp, err_buf, err_size);
}
