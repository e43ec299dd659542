// The floor for fetching one frame: connect, send the request, receive
// until the server closes, and copy the frame's bytes (the last
// frame_bytes received) out once.  No parsing and no conversion: whatever
// a real client does costs at least this much.
//
// Built as a shared object and called through ctypes, so that the same
// harness times it as the Python contenders.  The receive buffer is the
// caller's and is reused from call to call; out is the new array.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" long limit_fetch(unsigned long ip, int port, const char *request,
                            unsigned char *buf, unsigned long size,
                            unsigned char *out, unsigned long frame_bytes)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<unsigned short>(port));
    addr.sin_addr.s_addr = static_cast<in_addr_t>(ip);
    // The same receive room get_frame asks for: a floor that let the
    // kernel's window grow from its small default would be no floor.
    int room = static_cast<int>(size);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    const size_t request_len = std::strlen(request);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || send(fd, request, request_len, MSG_NOSIGNAL) != static_cast<ssize_t>(request_len)) {
        close(fd);
        return -1;
    }
    unsigned long total = 0;
    while (total < size) {
        ssize_t n = recv(fd, buf + total, size - total, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += static_cast<unsigned long>(n);
    }
    close(fd);
    if (total < frame_bytes)
        return -1;
    std::memcpy(out, buf + total - frame_bytes, frame_bytes);
    return static_cast<long>(total);
}
