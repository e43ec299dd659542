// What get_frame does after the network, without Python, both ways: the
// one pass it takes and the three exported stages must give the same
// array or the same text, that text must be the first failure that the
// reference readings find (HTTP, then content type, then PGM), and the
// array must equal the samples those readings take from the input.
#include "fuzz/harness.h"
#include "fuzz/reference.h"
#include "fuzz/routes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::size_t err_size = fuzz::take_err_size(data, size);
    const fuzz::Outcome direct = fuzz::one_pass(data, size, err_size);
    const fuzz::Outcome staged = fuzz::three_stages(data, size, err_size);
    FUZZ_CHECK(direct == staged);

    const fuzz::HttpVerdict http = fuzz::http_reference(data, size);
    const unsigned char *body = data + http.body;
    const fuzz::PgmVerdict pgm =
        http.ok ? fuzz::pgm_reference(body, size - http.body) : fuzz::PgmVerdict();
    const std::string refusal = !http.ok ? http.error
                                : http.type != LURVO_TYPE_PGM ? "wrong content type"
                                : pgm.error;
    FUZZ_CHECK(direct.ok == refusal.empty());
    if (!direct.ok) {
        // The text as a buffer of err_size holds it.
        FUZZ_CHECK(direct.text == refusal.substr(0, err_size == 0 ? 0 : err_size - 1));
        return 0;
    }
    FUZZ_CHECK(direct.width == pgm.width && direct.height == pgm.height);
    for (std::size_t i = 0; i < direct.frame.size(); ++i)
        FUZZ_CHECK(direct.frame[i] == fuzz::frame_sample(body, pgm, i));
    return 0;
}
