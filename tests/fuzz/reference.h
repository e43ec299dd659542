// Plain, slow restatements of what the stages should do, written line by
// line or field by field rather than as the stages' single scans, so that
// the fuzz targets compare two different readings of the same rules.
#ifndef LURVO_FUZZ_REFERENCE_H
#define LURVO_FUZZ_REFERENCE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace fuzz {

// ---------------------------------------------------------------- HTTP

struct HttpVerdict {
    bool ok = false;
    std::size_t body = 0;       // offset of the body in the input
    std::uint8_t type = 0;      // on success
    std::string error;          // the full text, before any cut
};

inline bool in_set(unsigned char c, const char *set)
{
    return c != '\0' && std::strchr(set, c) != nullptr;
}

// The C string a stage would see for [from, ...) once it ends at the
// first byte of `stops` (or the line end).
inline std::string token(const unsigned char *d, std::size_t from, std::size_t end,
                         const char *stops)
{
    std::size_t i = from;
    while (i < end && !in_set(d[i], stops))
        ++i;
    return std::string(reinterpret_cast<const char *>(d + from), i - from);
}

// One header line [begin, end): the Content-Type it names, if any.
inline void classify_line(const unsigned char *d, std::size_t begin, std::size_t end,
                          std::uint8_t *type)
{
    const void *colon_p = std::memchr(d + begin, ':', end - begin);
    if (colon_p == nullptr)
        return;
    const std::size_t colon = static_cast<const unsigned char *>(colon_p) - d;
    std::size_t name = begin;
    while (name < colon && in_set(d[name], " \r"))
        ++name;
    std::size_t value = colon + 1;
    while (value < end && in_set(d[value], " \r:"))
        ++value;
    if (name == colon || value == end)
        return;
    const std::string n = token(d, name, colon, "\r");
    if (n != "Content-Type" && n != "Content-type")
        return;
    const std::string v = token(d, value, end, "\r");
    if (v == "image/png")
        *type = 1;
    else if (v == "image/jpeg")
        *type = 2;
    else if (v == "image/x-portable-graymap")
        *type = 3;
}

inline HttpVerdict http_reference(const unsigned char *d, std::size_t n)
{
    HttpVerdict v;
    if (n < 14 || (std::memcmp(d, "HTTP/1.0 ", 9) != 0 && std::memcmp(d, "HTTP/1.1 ", 9) != 0)) {
        v.error = "cannot dispatch response";
        return v;
    }
    if (!(n >= 17 && std::memcmp(d + 9, "200 OK\r\n", 8) == 0)) {
        const void *cr = std::memchr(d + 9, '\r', n - 9);
        if (cr == nullptr) {
            v.error = "cannot dispatch response";
            return v;
        }
        const std::size_t end = static_cast<const unsigned char *>(cr) - d;
        v.error = "HTTP response: " + std::string(reinterpret_cast<const char *>(d + 9),
                                                  strnlen(reinterpret_cast<const char *>(d + 9), end - 9));
        return v;
    }
    if (n == 17) {
        v.error = "HTTP response ends after the status line";
        return v;
    }
    // Line by line from offset 17: a line of nothing but CR and colons
    // that follows an earlier line end closes the block; a NUL spoils it.
    std::size_t begin = 17;
    bool after_line_end = false;
    for (;;) {
        const void *lf = std::memchr(d + begin, '\n', n - begin);
        const std::size_t end = lf ? static_cast<const unsigned char *>(lf) - d : n;
        if (std::memchr(d + begin, '\0', end - begin) != nullptr || lf == nullptr) {
            v.error = "HTTP header block does not end";
            v.type = 0;
            return v;
        }
        bool blank = true;
        for (std::size_t i = begin; i < end; ++i)
            blank = blank && in_set(d[i], "\r:");
        if (blank && after_line_end) {
            v.ok = true;
            v.body = end + 1;
            v.error = "no error";
            return v;
        }
        classify_line(d, begin, end, &v.type);
        after_line_end = true;
        begin = end + 1;
    }
}

// ----------------------------------------------------------------- PGM

struct PgmVerdict {
    bool ok = false;
    std::size_t header = 0;
    std::uint16_t width = 0, height = 0, maxval = 0;
    unsigned bpp = 0;
    std::string error;
};

// A decimal field ended by `stop`; the value wraps at 65536.
inline bool pgm_field(const unsigned char *d, std::size_t n, std::size_t *pos,
                      unsigned char stop, std::uint16_t *value)
{
    std::uint32_t v = 0;
    for (std::size_t i = *pos; i < n; ++i) {
        if (d[i] == stop) {
            *pos = i + 1;
            *value = static_cast<std::uint16_t>(v);
            return true;
        }
        if (d[i] < '0' || d[i] > '9')
            return false;
        v = (v * 10 + (d[i] - '0')) & 0xFFFF;
    }
    return false;
}

inline PgmVerdict pgm_reference(const unsigned char *d, std::size_t n)
{
    PgmVerdict v;
    char text[128];
    if (n < 2 || d[0] != 'P') {
        v.error = "cannot extract PGM, header not valid";
        return v;
    }
    if (d[1] != '5') {
        std::snprintf(text, sizeof text, "unknown PGM type P%d", d[1] - '0');
        v.error = text;
        return v;
    }
    std::size_t pos = 3;
    if (n < 3 || d[2] != '\n' || !pgm_field(d, n, &pos, ' ', &v.width)
        || !pgm_field(d, n, &pos, '\n', &v.height) || !pgm_field(d, n, &pos, '\n', &v.maxval)) {
        v.error = "error in PGM";
        return v;
    }
    v.header = pos;
    const std::uint64_t samples = std::uint64_t(v.width) * v.height;
    const std::uint64_t bytes = v.maxval > 255 ? 2 * samples : samples;
    if (n - pos < bytes) {
        std::snprintf(text, sizeof text, "buffer too small (%zu, need %llu)", n,
                      static_cast<unsigned long long>(samples));
        v.error = text;
        return v;
    }
    for (unsigned m = v.maxval; m != 0; m >>= 1)
        ++v.bpp;
    v.ok = true;
    return v;
}

// Sample i of the PGM at d (header already read), as get_frame returns it.
inline std::uint16_t frame_sample(const unsigned char *d, const PgmVerdict &v, std::size_t i)
{
    const unsigned raw = v.maxval > 255 ? (d[v.header + 2 * i] << 8) | d[v.header + 2 * i + 1]
                                        : d[v.header + i];
    return static_cast<std::uint16_t>((raw << (16 - v.bpp)) & 0xFFFF);
}

// `text` cut to err_size as snprintf cuts it, and NUL-terminated.
inline bool err_matches(const unsigned char *err, std::size_t err_size, const std::string &text)
{
    if (err_size == 0)
        return true;
    const std::size_t n = std::min(err_size - 1, text.size());
    return std::memcmp(err, text.data(), n) == 0 && err[n] == '\0';
}

}  // namespace fuzz

#endif  // LURVO_FUZZ_REFERENCE_H
