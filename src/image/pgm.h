/* Binary PGM ("P5") extraction, in place.
 *
 * Only the tight header our camera server writes is accepted:
 * "P5\n<width> <height>\n<maxval>\n" followed by the samples, with no
 * comments and no other whitespace.  Samples are returned at buf[0]: one
 * byte each when maxval <= 255, otherwise one native-endian uint16_t each
 * (converted from the big-endian pairs of the file).
 *
 * The function keeps no pointer to any argument and never allocates. */
#ifndef LURVO_IMAGE_PGM_H
#define LURVO_IMAGE_PGM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Parses the header at buf[0..len) and moves the samples to buf[0].
 *
 * *width and *height are written while their fields are parsed, so they may
 * hold partial values after a failure; *bpp (the bit length of maxval) is
 * written only on success.  Any of the three pointers may be null.
 *
 * Returns the number of samples for 8-bit data, or the header length for
 * 16-bit data (values too large for an int read INT_MAX); -1 on failure,
 * with a short NUL-terminated English text in err_buf (at most
 * err_size - 1 characters) and buf unchanged.  err_buf is not touched on
 * success, nor when it is null or err_size is 0. */
int extract_pgm(unsigned char *buf, size_t len, uint16_t *width,
                uint16_t *height, uint8_t *bpp,
                char *err_buf, size_t err_size);

#ifdef __cplusplus
}
#endif

#endif /* LURVO_IMAGE_PGM_H */
