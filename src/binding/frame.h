// The road of one frame from the raw response to the array, as get_frame
// takes it: the checking halves of process_http_response and extract_pgm
// find the samples where they lie in the receive buffer, and one pass
// converts them from there into the array.  The exported stages are the
// same checks followed by their in-place moves, so both roads apply every
// rule from one place.
#ifndef LURVO_BINDING_FRAME_H
#define LURVO_BINDING_FRAME_H

#include "image/pgm_parts.h"

#include <cstddef>
#include <cstdint>

namespace lurvo __attribute__((visibility("hidden"))) {

struct FrameLayout {
    std::size_t samples = 0;    // offset in the buffer of the first sample
    PgmHeader pgm;
};

// Checks the response in buf[0..len), its content type and the PGM header
// of its body, in that order, so that a response fails with the first
// text that applies: HTTP texts, then "wrong content type", then PGM
// texts.  Only the header region of buf is written (see check_response).
bool locate_frame(unsigned char *buf, std::size_t len, FrameLayout *frame,
                  char *err_buf, std::size_t err_size);

// Writes the frame's width x height samples from buf into out, each moved
// up so that its most significant bit lands on bit 15.
void fill_frame(std::uint16_t *out, const unsigned char *buf, const FrameLayout &frame);

}  // namespace lurvo

#endif  // LURVO_BINDING_FRAME_H
