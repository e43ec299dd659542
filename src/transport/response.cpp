// Strict check of an HTTP response, in place.
//
// The status line must be "HTTP/1.0 200 OK\r\n" or "HTTP/1.1 200 OK\r\n".
// The header block is then scanned byte by byte: line ends and the first
// colon of each line become NUL, so that names and values are C strings
// inside the buffer, and only the Content-Type line is looked at.  The body
// is everything after the header block; no length field is consulted.

#include "transport/http.h"
#include "transport/response_check.h"

#include "error_text.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kMinResponse = 14;
constexpr std::size_t kCodeOffset = 9;          // after "HTTP/1.x "
constexpr std::size_t kHeaderOffset = 17;       // after "HTTP/1.x 200 OK\r\n"
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

using lurvo::set_error;

bool starts_with(const unsigned char *p, const char *text, std::size_t n)
{
    return std::memcmp(p, text, n) == 0;
}

bool is_content_type(const char *name)
{
    return std::strcmp(name, "Content-Type") == 0 || std::strcmp(name, "Content-type") == 0;
}

// Unknown values leave the code as it was, so the last recognised
// Content-Type line wins.
void classify(const char *value, std::uint8_t *type)
{
    if (std::strcmp(value, "image/png") == 0)
        *type = LURVO_TYPE_PNG;
    else if (std::strcmp(value, "image/jpeg") == 0)
        *type = LURVO_TYPE_JPEG;
    else if (std::strcmp(value, "image/x-portable-graymap") == 0)
        *type = LURVO_TYPE_PGM;
}

// Refuses anything but a 200 OK status line.  A refused status with a CR
// after it is reported with its text (e.g. "404 Not Found").
bool status_is_ok(unsigned char *buf, std::size_t len, char *err_buf, std::size_t err_size)
{
    if (len < kMinResponse
        || !(starts_with(buf, "HTTP/1.0 ", kCodeOffset) || starts_with(buf, "HTTP/1.1 ", kCodeOffset))) {
        set_error(err_buf, err_size, "cannot dispatch response");
        return false;
    }
    if (len >= kHeaderOffset && starts_with(buf + kCodeOffset, "200 OK\r\n", 8))
        return true;
    void *cr = std::memchr(buf + kCodeOffset, '\r', len - kCodeOffset);
    if (cr == nullptr) {
        set_error(err_buf, err_size, "cannot dispatch response");
        return false;
    }
    *static_cast<unsigned char *>(cr) = '\0';
    set_error(err_buf, err_size, "HTTP response: %s",
              reinterpret_cast<const char *>(buf + kCodeOffset));
    return false;
}

// Returns the offset of the first body byte, or kNone when the header
// block does not end before the data does (or before a NUL byte).
// "At line start" begins clear, so an empty line right after the status
// line does not end the block.
std::size_t scan_header(unsigned char *buf, std::size_t len, std::uint8_t *type)
{
    std::size_t name = kNone, value = kNone;
    bool colon_seen = false, at_line_start = false;

    for (std::size_t i = kHeaderOffset; i < len; ++i) {
        const unsigned char c = buf[i];
        if (c == '\n') {
            buf[i] = '\0';
            if (at_line_start)
                return i + 1;
            if (name != kNone && value != kNone
                && is_content_type(reinterpret_cast<const char *>(buf + name)))
                classify(reinterpret_cast<const char *>(buf + value), type);
            name = value = kNone;
            colon_seen = false;
            at_line_start = true;
        } else if (c == '\r') {
            buf[i] = '\0';
        } else if (c == ':') {
            if (!colon_seen) {
                buf[i] = '\0';
                colon_seen = true;
            }
        } else if (c == '\0') {
            return kNone;
        } else {
            at_line_start = false;
            if (c == ' ')
                continue;
            if (!colon_seen && name == kNone)
                name = i;
            else if (colon_seen && value == kNone)
                value = i;
        }
    }
    return kNone;
}

}  // namespace

bool lurvo::check_response(unsigned char *buf, std::size_t len, std::uint8_t *type,
                           std::size_t *body, char *err_buf, std::size_t err_size)
{
    std::uint8_t scratch = LURVO_TYPE_NONE;
    if (type == nullptr)
        type = &scratch;
    set_error(err_buf, err_size, "no error");
    *type = LURVO_TYPE_NONE;

    if (buf == nullptr)
        len = 0;
    if (!status_is_ok(buf, len, err_buf, err_size))
        return false;
    if (len == kHeaderOffset) {
        set_error(err_buf, err_size, "HTTP response ends after the status line");
        return false;
    }
    // The body length is returned as an int.
    if (len > INT_MAX) {
        set_error(err_buf, err_size, "HTTP response too large (%zu bytes)", len);
        return false;
    }
    const std::size_t header_end = scan_header(buf, len, type);
    if (header_end == kNone) {
        set_error(err_buf, err_size, "HTTP header block does not end");
        return false;
    }
    *body = header_end;
    return true;
}

extern "C" int process_http_response(unsigned char *buf, std::size_t len, std::uint8_t *type,
                                     char *err_buf, std::size_t err_size)
{
    std::size_t header_end = 0;
    if (!lurvo::check_response(buf, len, type, &header_end, err_buf, err_size))
        return -1;
    const std::size_t body_len = len - header_end;
    std::memmove(buf, buf + header_end, body_len);
    return static_cast<int>(body_len);
}
