/* The last step of get_frame, kept apart from the module so that the fuzz
 * target of the whole in-memory pipeline runs the very same code. */
#ifndef LURVO_IMAGE_FILL_H
#define LURVO_IMAGE_FILL_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace lurvo {

/* Widens each of the `count` samples that extract_pgm left at `samples` to
 * 16 bits, with its most significant bit on bit 15: bytes when bpp <= 8,
 * native uint16_t values otherwise (`samples` must then be 2-byte aligned,
 * as a malloc'd buffer is).  bpp 0 (a maxval of 0) shifts by 16: every
 * element becomes 0. */
inline void fill_frame(std::uint16_t *__restrict out, const unsigned char *__restrict samples,
                       std::size_t count, unsigned bpp)
{
    const unsigned shift = 16 - bpp;
    if (bpp <= 8) {
        for (std::size_t i = 0; i < count; ++i)
            out[i] = static_cast<std::uint16_t>(static_cast<unsigned>(samples[i]) << shift);
        return;
    }
    const std::uint16_t *wide = reinterpret_cast<const std::uint16_t *>(samples);
    if (shift == 0) {
        std::memcpy(out, wide, count * sizeof *out);
        return;
    }
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<std::uint16_t>(static_cast<unsigned>(wide[i]) << shift);
}

}  // namespace lurvo

#endif /* LURVO_IMAGE_FILL_H */
