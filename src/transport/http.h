/* HTTP transport: one HTTP/1.0 exchange with the camera server, and the
 * strict check of its response.
 *
 * Both functions report failure by a negative result and leave a short
 * NUL-terminated English text in the caller's err_buf (at most
 * err_size - 1 characters).  They keep no pointer to any argument. */
#ifndef LURVO_TRANSPORT_HTTP_H
#define LURVO_TRANSPORT_HTTP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Content type codes set by process_http_response. */
enum {
    LURVO_TYPE_NONE = 0,
    LURVO_TYPE_PNG = 1,
    LURVO_TYPE_JPEG = 2,
    LURVO_TYPE_PGM = 3
};

/* Connects to ip (IPv4, network byte order in the low 32 bits) and port
 * (host byte order), sends "GET <uri> HTTP/1.0\n\n" and reads until the
 * server closes, buf is full, or the one-second budget for all waits of the
 * call is spent.  Returns the number of response bytes now at buf[0], or a
 * negative value on failure. */
int perform_http_request(unsigned long ip, int port, const char *uri,
                         unsigned char *buf, size_t size,
                         char *err_buf, size_t err_size);

/* Accepts only an HTTP/1.0 or HTTP/1.1 "200 OK" response, classifies its
 * Content-Type into *type, moves the body to buf[0] and returns its length;
 * -1 on failure.  The header region of buf is altered in either case. */
int process_http_response(unsigned char *buf, size_t len, uint8_t *type,
                          char *err_buf, size_t err_size);

#ifdef __cplusplus
}
#endif

#endif /* LURVO_TRANSPORT_HTTP_H */
