// get_frame's work after the network, two ways, on a guarded copy of the
// input each: the one pass the module takes (locate_frame, fill_frame),
// and the three exported stages followed by a plain widening of the
// samples they leave at the start of the buffer.  Each gives the array, or
// the text get_frame would raise.
#ifndef LURVO_FUZZ_ROUTES_H
#define LURVO_FUZZ_ROUTES_H

#include "error_text.h"
#include "fuzz/harness.h"
#include "binding/frame.h"
#include "image/pgm.h"
#include "transport/http.h"

#include <string>
#include <vector>

namespace fuzz {

struct Outcome {
    bool ok = false;
    std::string text;           // err_buf after the route, up to its NUL
    std::uint16_t width = 0, height = 0;
    std::vector<std::uint16_t> frame;

    bool operator==(const Outcome &o) const
    {
        return ok == o.ok && text == o.text && width == o.width && height == o.height
               && frame == o.frame;
    }
};

inline std::string err_text(Guarded &err)
{
    FUZZ_CHECK(err.intact() && err_terminated(err.data(), err.size()));
    return err.size() == 0 ? std::string() : std::string(reinterpret_cast<char *>(err.data()));
}

inline Outcome one_pass(const std::uint8_t *data, std::size_t size, std::size_t err_size)
{
    Guarded buf(data, size);
    Guarded err(err_size, '#');
    Outcome out;
    lurvo::FrameLayout layout;
    out.ok = lurvo::locate_frame(buf.data(), size, &layout, reinterpret_cast<char *>(err.data()),
                                 err_size);
    out.text = err_text(err);
    if (!out.ok)
        return out;
    // Only the header region may have been written: the samples are read
    // where the server's bytes put them.
    FUZZ_CHECK(std::memcmp(buf.data() + layout.samples, data + layout.samples,
                           size - layout.samples) == 0);
    out.width = layout.pgm.width;
    out.height = layout.pgm.height;
    Guarded frame(layout.pgm.samples * sizeof(std::uint16_t));
    lurvo::fill_frame(reinterpret_cast<std::uint16_t *>(frame.data()), buf.data(), layout);
    FUZZ_CHECK(frame.intact() && buf.intact());
    out.frame.resize(layout.pgm.samples);
    if (!out.frame.empty())
        std::memcpy(out.frame.data(), frame.data(), frame.size());
    return out;
}

inline Outcome three_stages(const std::uint8_t *data, std::size_t size, std::size_t err_size)
{
    Guarded buf(data, size);
    Guarded err(err_size, '#');
    char *err_buf = reinterpret_cast<char *>(err.data());
    Outcome out;
    std::uint8_t type = 0, bpp = 0;
    const int body_len = process_http_response(buf.data(), size, &type, err_buf, err_size);
    if (body_len >= 0 && type != LURVO_TYPE_PGM)
        lurvo::set_error(err_buf, err_size, "wrong content type");
    out.ok = body_len >= 0 && type == LURVO_TYPE_PGM
             && extract_pgm(buf.data(), static_cast<std::size_t>(body_len), &out.width,
                            &out.height, &bpp, err_buf, err_size) >= 0;
    out.text = err_text(err);
    FUZZ_CHECK(buf.intact());
    if (!out.ok) {
        out.width = out.height = 0;
        return out;
    }
    out.frame.resize(std::size_t(out.width) * out.height);
    for (std::size_t i = 0; i < out.frame.size(); ++i) {
        std::uint16_t sample;
        if (bpp > 8)
            std::memcpy(&sample, buf.data() + 2 * i, sizeof sample);
        else
            sample = buf.data()[i];
        out.frame[i] = static_cast<std::uint16_t>(sample << (16 - bpp));
    }
    return out;
}

}  // namespace fuzz

#endif  // LURVO_FUZZ_ROUTES_H
