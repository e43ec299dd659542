// process_http_response on any bytes: never outside its buffer, the body
// it returns is the input's tail, and its verdict and text agree with the
// line-by-line reading in reference.h.
#include "fuzz/harness.h"
#include "fuzz/reference.h"
#include "transport/http.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::size_t err_size = fuzz::take_err_size(data, size);
    fuzz::Guarded buf(data, size);
    fuzz::Guarded err(err_size, '#');
    std::uint8_t type = 0xEE;

    const int n = process_http_response(buf.data(), size, &type,
                                        reinterpret_cast<char *>(err.data()), err_size);

    FUZZ_CHECK(buf.intact() && err.intact());
    FUZZ_CHECK(fuzz::err_terminated(err.data(), err_size));
    FUZZ_CHECK(type <= LURVO_TYPE_PGM);
    const fuzz::HttpVerdict ref = fuzz::http_reference(data, size);
    FUZZ_CHECK(fuzz::err_matches(err.data(), err_size, ref.error));
    FUZZ_CHECK((n >= 0) == ref.ok);
    if (n < 0) {
        FUZZ_CHECK(n == -1);
        return 0;
    }
    // The body is what follows the header block, moved to the start.
    FUZZ_CHECK(static_cast<std::size_t>(n) <= size - 18);
    FUZZ_CHECK(static_cast<std::size_t>(n) == size - ref.body);
    FUZZ_CHECK(std::memcmp(buf.data(), data + ref.body, n) == 0);
    FUZZ_CHECK(type == ref.type);
    return 0;
}
