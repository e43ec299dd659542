// The checking half of process_http_response, for the module's own route:
// it leaves the body where it lies and reports where that is, so that
// get_frame can read the samples straight from the receive buffer.
#ifndef LURVO_TRANSPORT_RESPONSE_CHECK_H
#define LURVO_TRANSPORT_RESPONSE_CHECK_H

#include <cstddef>
#include <cstdint>

namespace lurvo __attribute__((visibility("hidden"))) {

// Everything process_http_response does except moving the body: writes
// "no error" and the code 0 first, checks the status line, scans the
// header block in place (line ends and first colons become NUL) and sets
// *type.  On success *body is the offset of the first body byte; on
// failure err_buf holds the text.  Bytes from *body on are never written.
bool check_response(unsigned char *buf, std::size_t len, std::uint8_t *type,
                    std::size_t *body, char *err_buf, std::size_t err_size);

}  // namespace lurvo

#endif  // LURVO_TRANSPORT_RESPONSE_CHECK_H
