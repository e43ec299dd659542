#include "binding/frame.h"

#include "error_text.h"
#include "transport/http.h"
#include "transport/response_check.h"

bool lurvo::locate_frame(unsigned char *buf, std::size_t len, FrameLayout *frame,
                         char *err_buf, std::size_t err_size)
{
    std::uint8_t type = LURVO_TYPE_NONE;
    std::size_t body = 0;
    if (!check_response(buf, len, &type, &body, err_buf, err_size))
        return false;
    if (type != LURVO_TYPE_PGM) {
        set_error(err_buf, err_size, "wrong content type");
        return false;
    }
    if (!read_pgm_header(buf + body, len - body, &frame->pgm, err_buf, err_size))
        return false;
    frame->samples = body + frame->pgm.length;
    return true;
}

void lurvo::fill_frame(std::uint16_t *out, const unsigned char *buf, const FrameLayout &frame)
{
    const PgmHeader &pgm = frame.pgm;
    convert_samples(reinterpret_cast<unsigned char *>(out), buf + frame.samples,
                    static_cast<std::size_t>(pgm.samples), pgm.wide(), 16u - pgm.bpp);
}
