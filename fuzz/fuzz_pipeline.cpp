// What get_frame does after the network, on one buffer: response check,
// PGM extraction and the fill of the array, without Python.  The array
// must equal the samples read from the input by the references, and no
// stage may touch anything outside its buffers.
#include "fuzz/harness.h"
#include "fuzz/reference.h"
#include "image/fill.h"
#include "image/pgm.h"
#include "transport/http.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::size_t err_size = fuzz::take_err_size(data, size);
    fuzz::Guarded buf(data, size);
    fuzz::Guarded err(err_size, '#');
    char *err_buf = reinterpret_cast<char *>(err.data());

    std::uint8_t type = 0;
    const int body_len = process_http_response(buf.data(), size, &type, err_buf, err_size);
    const fuzz::HttpVerdict http = fuzz::http_reference(data, size);
    FUZZ_CHECK((body_len >= 0) == http.ok);
    if (body_len < 0 || type != LURVO_TYPE_PGM)
        return 0;

    const unsigned char *body = data + http.body;
    std::uint16_t width = 0, height = 0;
    std::uint8_t bpp = 0;
    const int r = extract_pgm(buf.data(), static_cast<std::size_t>(body_len), &width, &height,
                              &bpp, err_buf, err_size);
    const fuzz::PgmVerdict pgm = fuzz::pgm_reference(body, static_cast<std::size_t>(body_len));
    FUZZ_CHECK((r >= 0) == pgm.ok);
    FUZZ_CHECK(buf.intact() && err.intact());
    FUZZ_CHECK(fuzz::err_terminated(err.data(), err_size));
    if (r < 0)
        return 0;

    const std::size_t count = std::size_t(width) * height;
    fuzz::Guarded frame(count * sizeof(std::uint16_t));
    lurvo::fill_frame(reinterpret_cast<std::uint16_t *>(frame.data()), buf.data(), count, bpp);
    FUZZ_CHECK(frame.intact() && buf.intact());
    for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t got;
        std::memcpy(&got, frame.data() + 2 * i, sizeof got);
        FUZZ_CHECK(got == fuzz::frame_sample(body, pgm, i));
    }
    return 0;
}
