// One HTTP/1.0 GET over a fresh non-blocking TCP connection.
//
// All waits of one call share a single one-second budget, measured on the
// monotonic clock: the connect wait takes what it needs and every receive
// wait gets only what is left.  Once the budget is spent a wait still polls
// once, so data that is already waiting, or the server's close, is taken.

#include "transport/http.h"

#include "error_text.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr long kBudgetNs = 1000L * 1000 * 1000;
constexpr char kRequestTemplate[] = "GET %s HTTP/1.0\n\n";

using lurvo::set_error;

// Closes the descriptor on every way out of the function that opened it.
struct SocketGuard {
    int fd;
    explicit SocketGuard(int descriptor) : fd(descriptor) {}
    ~SocketGuard() { if (fd >= 0) close(fd); }
    SocketGuard(const SocketGuard &) = delete;
    SocketGuard &operator=(const SocketGuard &) = delete;
};

long now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000L + ts.tv_nsec;
}

// The one budget of a call.  Milliseconds are rounded up so that a wait
// never ends a hair before the budget does.
struct Budget {
    long deadline_ns;
    Budget() : deadline_ns(now_ns() + kBudgetNs) {}
    int remaining_ms() const
    {
        long left = deadline_ns - now_ns();
        return left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
    }
};

// Waits until fd shows one of `events` or the budget runs out; returns what
// poll() returns.  A signal that interrupts the wait is not a timeout: the
// wait resumes with what is left of the budget.  A timeout leaves errno as
// the last failing call set it, so the caller's text names that call.
int wait_for(int fd, short events, const Budget &budget)
{
    for (;;) {
        pollfd pfd = {fd, events, 0};
        int saved = errno;
        int n = poll(&pfd, 1, budget.remaining_ms());
        if (n < 0 && errno == EINTR) {
            errno = saved;
            continue;
        }
        return n;
    }
}

// Lets the kernel take in a whole response before we read it.  With the
// default the receive window starts small and grows during the transfer
// while the server waits for it, which over loopback costs about a third
// of a 1280x1024 16-bit frame's time.  Twice the buffer's size, since the
// kernel counts its bookkeeping of each packet against the room, which on
// a link of small packets is a large share.  The kernel caps the request
// at its own limit; a refusal only costs speed, so it is not an error.
void ask_for_receive_room(int fd, std::size_t capacity)
{
    const int room = capacity > INT_MAX / 4 ? INT_MAX / 2 : static_cast<int>(2 * capacity);
    const int saved = errno;
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    errno = saved;
}

sockaddr_in server_address(unsigned long ip, int port)
{
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = static_cast<in_addr_t>(ip & 0xffffffffUL);
    return addr;
}

// Reads until the server closes, the buffer is full or the budget is spent.
// The socket is non-blocking: recv() is tried first and the budget is only
// waited on when nothing is pending, which spares a poll() per chunk.
int receive_all(int fd, unsigned char *buf, std::size_t size,
                const Budget &budget, char *err_buf, std::size_t err_size)
{
    // The count is returned as an int; never take in more than it can hold.
    const std::size_t capacity = size > INT_MAX ? INT_MAX : size;
    std::size_t total = 0;
    for (;;) {
        if (total == capacity)
            return static_cast<int>(total);
        int saved = errno;
        ssize_t got = recv(fd, buf + total, capacity - total, 0);
        if (got > 0) {
            total += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0)
            return static_cast<int>(total);
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            set_error(err_buf, err_size, "receive error: %s", std::strerror(errno));
            return static_cast<int>(got);
        }
        // Nothing pending is not a failure of its own: the text of a
        // timeout names the call that last failed before the wait.
        errno = saved;
        if (wait_for(fd, POLLIN, budget) <= 0) {
            set_error(err_buf, err_size, "receive timeout (%s)", std::strerror(errno));
            return -1;
        }
    }
}

}  // namespace

extern "C" int perform_http_request(unsigned long ip, int port, const char *uri,
                                    unsigned char *buf, std::size_t size,
                                    char *err_buf, std::size_t err_size)
{
    set_error(err_buf, err_size, "no error");
    if (uri == nullptr) {
        set_error(err_buf, err_size, "no request target");
        return -1;
    }
    // The request is built in the receive buffer, before any connection is
    // made: one that does not fit is refused without traffic.
    int request_len = -1;
    if (buf != nullptr && size > 0)
        request_len = std::snprintf(reinterpret_cast<char *>(buf), size,
                                    kRequestTemplate, uri);
    if (request_len < 0 || static_cast<std::size_t>(request_len) >= size) {
        set_error(err_buf, err_size, "request too long for buffer (%zu bytes)", size);
        return -1;
    }

    int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
        set_error(err_buf, err_size, "cannot create socket: %s", std::strerror(errno));
        return fd;
    }
    SocketGuard guard(fd);

    int on = 1;
    int rc = ioctl(fd, FIONBIO, &on);
    if (rc != 0) {
        set_error(err_buf, err_size, "cannot set non blocking mode: %s\n",
                  std::strerror(errno));
        return rc;
    }

    // Before connecting, so that the window offered to the server already
    // reflects the room.
    ask_for_receive_room(fd, size);

    // A non-blocking connect normally reports that it is in progress; a
    // failed attempt also makes the socket writable and surfaces at send().
    sockaddr_in addr = server_address(ip, port);
    (void)connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    const Budget budget;
    if (wait_for(fd, POLLOUT, budget) != 1) {
        set_error(err_buf, err_size, "cannot connect: timeout (%s)", std::strerror(errno));
        return -1;
    }

    // MSG_NOSIGNAL: a peer that reset the connection must not kill the
    // host process with SIGPIPE.
    ssize_t sent = send(fd, buf, static_cast<std::size_t>(request_len), MSG_NOSIGNAL);
    if (sent <= 0) {
        set_error(err_buf, err_size, "cannot send: %s", std::strerror(errno));
        return static_cast<int>(sent);
    }

    return receive_all(fd, buf, size, budget, err_buf, err_size);
}
