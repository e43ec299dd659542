// The two halves of extract_pgm, for the module's own route: reading the
// header (with the size check) where the body lies, and the sample
// conversion, which get_frame runs straight from the receive buffer into
// the array and extract_pgm runs in place.
#ifndef LURVO_IMAGE_PGM_PARTS_H
#define LURVO_IMAGE_PGM_PARTS_H

#include <cstddef>
#include <cstdint>

// The route of convert_samples, chosen from the compile target: SSE2 where
// the target has it (every x86-64), elsewhere plain loops that the
// compiler vectorises for the target's own registers (NEON on 64-bit ARM).
// LURVO_PORTABLE_SAMPLES takes the plain loops on x86-64 too, so that the
// tests there run both routes; a user's build never needs it.
#if defined(__SSE2__) && !defined(LURVO_PORTABLE_SAMPLES)
#define LURVO_SSE2_SAMPLES 1
#endif

namespace lurvo __attribute__((visibility("hidden"))) {

struct PgmHeader {
    std::size_t length = 0;         // offset of the first sample
    std::uint16_t width = 0, height = 0, maxval = 0;
    std::uint8_t bpp = 0;           // bit length of maxval, 0 to 16
    std::uint64_t samples = 0;      // width x height

    // Big-endian pairs rather than bytes.
    bool wide() const { return maxval > 255; }
};

// Reads "P5\n<width> <height>\n<maxval>\n" at data[0..len) and checks that
// len holds all the samples.  header->width and ->height follow their
// fields digit by digit (a field not reached keeps what it held), so a
// caller can see how far a refused header got.  On failure err_buf holds
// the text.  Nothing in data is written.
bool read_pgm_header(const unsigned char *data, std::size_t len, PgmHeader *header,
                     char *err_buf, std::size_t err_size);

// Writes `count` samples to dst as native uint16_t values moved up by
// `shift` bits and kept to 16 bits (a shift of 16 gives 0): from bytes, or
// from big-endian pairs when `wide`.  src may lie at any address.  For
// wide samples dst may also lie at or before src in the same buffer: each
// block is read completely before it is written.
void convert_samples(unsigned char *dst, const unsigned char *src, std::size_t count,
                     bool wide, unsigned shift);

}  // namespace lurvo

#endif  // LURVO_IMAGE_PGM_PARTS_H
