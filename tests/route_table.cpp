// Every depth (bpp 0 to 16), every sample count from 0 to 40 (no vector
// block, and one or two of them with every tail) and every position of the
// samples modulo 16 in the buffer: the one pass get_frame takes and the
// three exported stages must both give the samples of the frame, each
// moved up so that its top bit is bit 15.  Run by tests/test_one_pass.py,
// built with AddressSanitizer so that a read past the samples is caught,
// once for each route of the sample conversion the machine can build.
#include "fuzz/routes.h"

#include <cstdio>
#include <string>

namespace {

constexpr std::size_t kErrSize = 1024;

// A response whose samples start at an offset that is `misalignment`
// modulo 16 (the guarded buffer itself is 16-byte aligned).
std::string frame_response(unsigned maxval, std::size_t count, std::size_t misalignment,
                           const std::string &pixels)
{
    const std::string pgm_head = "P5\n" + std::to_string(count) + " 1\n" + std::to_string(maxval) + "\n";
    std::string head = "HTTP/1.0 200 OK\r\nContent-Type: image/x-portable-graymap\r\nX-Pad: ";
    const std::size_t fixed = head.size() + 4 + pgm_head.size();     // "\r\n\r\n"
    head.append((misalignment + 16 - fixed % 16) % 16, 'p');
    return head + "\r\n\r\n" + pgm_head + pixels;
}

}  // namespace

int main()
{
    unsigned cases = 0;
    for (unsigned bpp = 0; bpp <= 16; ++bpp) {
        const unsigned maxval = (1u << bpp) - 1;
        const std::size_t width = maxval > 255 ? 2 : 1;
        for (std::size_t count = 0; count <= 40; ++count) {
            // Bytes that differ from their neighbours, beyond maxval too:
            // nothing is clamped.
            std::string pixels;
            for (std::size_t i = 0; i < width * count; ++i)
                pixels += static_cast<char>((i * 37 + 11 + bpp) & 0xFF);
            for (std::size_t misalignment = 0; misalignment < 16; ++misalignment) {
                const std::string response = frame_response(maxval, count, misalignment, pixels);
                const std::size_t start = response.size() - pixels.size();
                FUZZ_CHECK(start % 16 == misalignment);
                const auto *data = reinterpret_cast<const std::uint8_t *>(response.data());
                const fuzz::Outcome direct = fuzz::one_pass(data, response.size(), kErrSize);
                FUZZ_CHECK(direct == fuzz::three_stages(data, response.size(), kErrSize));
                FUZZ_CHECK(direct.ok && direct.width == count && direct.frame.size() == count);
                for (std::size_t i = 0; i < count; ++i) {
                    const unsigned raw = width == 2 ? (data[start + 2 * i] << 8) | data[start + 2 * i + 1]
                                                    : data[start + i];
                    FUZZ_CHECK(direct.frame[i] == static_cast<std::uint16_t>(raw << (16 - bpp)));
                }
                ++cases;
            }
        }
    }
#ifdef LURVO_SSE2_SAMPLES
    const char *conversion = "sse2";
#else
    const char *conversion = "portable";
#endif
    std::printf("%u cases, both routes gave every sample (%s conversion)\n", cases, conversion);
    return 0;
}
