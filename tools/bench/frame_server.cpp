// The benchmark's camera server: serves prebuilt HTTP responses from memory
// on 127.0.0.1, one connection at a time.
//
//   frame_server SECONDS MAX_CONNECTIONS [--rate=BITS] /uri=file.pgm [/uri=file.pgm ...]
//
// With --rate, each response goes out at that many bits a second, in
// pieces of 16 kB, as a camera behind a link of its own would send it.
// Each file's bytes become the body of a complete response built once at
// start, so a connection costs one read of the request and one send().  The
// clients being measured make one request after another, so a single
// thread is enough, and it leaves the machine's other core to the client.
//
// It binds an ephemeral port, prints it on a line of its own, and exits by
// itself after SECONDS or after MAX_CONNECTIONS connections, whichever
// comes first (the harness also stops it by its PID when done).

#include <arpa/inet.h>
#include <time.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Route {
    std::string uri;
    std::string response;
};

bool read_file(const char *path, std::string *out)
{
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return false;
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        out->append(chunk, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

std::string make_response(const std::string &body)
{
    char head[256];
    std::snprintf(head, sizeof head,
                  "HTTP/1.0 200 OK\r\nContent-Type: image/x-portable-graymap\r\n"
                  "Content-Length: %zu\r\n\r\n", body.size());
    return head + body;
}

const char kNotFound[] = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";

bool send_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

double seconds_now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Sends at `rate` bits a second (all at once when rate is 0): each piece
// leaves no earlier than the rate allows for the bytes before it.
bool send_paced(int fd, const std::string &data, double rate)
{
    if (rate <= 0)
        return send_all(fd, data.data(), data.size());
    constexpr size_t kPiece = 16384;
    const double start = seconds_now();
    for (size_t sent = 0; sent < data.size(); sent += kPiece) {
        const double due = start + static_cast<double>(sent) * 8.0 / rate;
        const double wait = due - seconds_now();
        if (wait > 0) {
            timespec pause = {static_cast<time_t>(wait),
                              static_cast<long>((wait - static_cast<double>(static_cast<time_t>(wait))) * 1e9)};
            nanosleep(&pause, nullptr);
        }
        if (!send_all(fd, data.data() + sent, std::min(kPiece, data.size() - sent)))
            return false;
    }
    return true;
}

// Reads the request up to its empty line, so that nothing the client sent
// is left unread at close (which would turn the close into a reset), and
// returns the target of its first line.
bool read_target(int fd, std::string *target)
{
    std::string request;
    char chunk[4096];
    while (request.find("\n\n") == std::string::npos
           && request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || request.size() > 65536)
            return false;
        request.append(chunk, static_cast<size_t>(n));
    }
    const size_t start = request.find(' ');
    if (start == std::string::npos)
        return false;
    const size_t end = request.find(' ', start + 1);
    if (end == std::string::npos)
        return false;
    *target = request.substr(start + 1, end - start - 1);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s SECONDS MAX_CONNECTIONS [--rate=BITS] /uri=file ...\n", argv[0]);
        return 2;
    }
    const unsigned seconds = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
    const long max_connections = std::strtol(argv[2], nullptr, 10);
    double rate = 0;
    int first_route = 3;
    if (std::strncmp(argv[3], "--rate=", 7) == 0) {
        rate = std::strtod(argv[3] + 7, nullptr);
        first_route = 4;
    }
    std::vector<Route> routes;
    for (int i = first_route; i < argc; ++i) {
        const char *eq = std::strchr(argv[i], '=');
        std::string body;
        if (eq == nullptr || !read_file(eq + 1, &body)) {
            std::fprintf(stderr, "frame_server: cannot read route %s\n", argv[i]);
            return 2;
        }
        routes.push_back(Route{std::string(argv[i], static_cast<size_t>(eq - argv[i])), make_response(body)});
    }

    // The time bound: SIGALRM's default action ends the process.
    alarm(seconds);
    signal(SIGPIPE, SIG_IGN);

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t addr_len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || listen(listener, 64) != 0
        || getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &addr_len) != 0) {
        std::perror("frame_server");
        return 1;
    }
    std::printf("%d\n", ntohs(addr.sin_port));
    std::fflush(stdout);

    // A client that stalls must not stall the server for long.
    const timeval io_timeout = {2, 0};
    for (long served = 0; served < max_connections; ++served) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            std::perror("frame_server: accept");
            return 1;
        }
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &io_timeout, sizeof io_timeout);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &io_timeout, sizeof io_timeout);
        std::string target;
        if (read_target(fd, &target)) {
            const std::string *response = nullptr;
            for (const Route &route : routes)
                if (route.uri == target)
                    response = &route.response;
            if (response != nullptr)
                send_paced(fd, *response, rate);
            else
                send_all(fd, kNotFound, sizeof kNotFound - 1);
        }
        close(fd);
    }
    return 0;
}
