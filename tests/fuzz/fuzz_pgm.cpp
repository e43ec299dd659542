// extract_pgm on any bytes: never outside its buffer, the buffer left
// alone and the error text exact when it refuses, err_buf untouched and
// every sample equal to a plain scalar reading when it accepts.
#include "fuzz/harness.h"
#include "fuzz/reference.h"
#include "image/pgm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::size_t err_size = fuzz::take_err_size(data, size);
    fuzz::Guarded buf(data, size);
    fuzz::Guarded err(err_size, '#');
    std::uint16_t width = 0xBEEF, height = 0xBEEF;
    std::uint8_t bpp = 0xEE;

    const int r = extract_pgm(buf.data(), size, &width, &height, &bpp,
                              reinterpret_cast<char *>(err.data()), err_size);

    FUZZ_CHECK(buf.intact() && err.intact());
    const fuzz::PgmVerdict ref = fuzz::pgm_reference(data, size);
    FUZZ_CHECK((r >= 0) == ref.ok);
    if (r < 0) {
        FUZZ_CHECK(r == -1);
        FUZZ_CHECK(bpp == 0xEE);
        FUZZ_CHECK(fuzz::err_terminated(err.data(), err_size));
        FUZZ_CHECK(fuzz::err_matches(err.data(), err_size, ref.error));
        FUZZ_CHECK(size == 0 || std::memcmp(buf.data(), data, size) == 0);
        return 0;
    }
    FUZZ_CHECK(fuzz::all_equal(err.data(), err_size, '#'));
    FUZZ_CHECK(width == ref.width && height == ref.height && bpp == ref.bpp);
    const std::size_t count = std::size_t(width) * height;
    if (ref.maxval > 255) {
        FUZZ_CHECK(static_cast<std::size_t>(r) == ref.header);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint16_t want = static_cast<std::uint16_t>(
                (data[ref.header + 2 * i] << 8) | data[ref.header + 2 * i + 1]);
            std::uint16_t got;
            std::memcpy(&got, buf.data() + 2 * i, sizeof got);
            FUZZ_CHECK(got == want);
        }
    } else {
        FUZZ_CHECK(static_cast<std::size_t>(r) == count);
        FUZZ_CHECK(count == 0 || std::memcmp(buf.data(), data + ref.header, count) == 0);
    }
    return 0;
}
