// kestrel-floor: the least a server can do for kestrel-bench's requests, as
// the floor that Kestrel's figures are measured against. One thread per
// connection and blocking reads, like Kestrel; no library, no log, no Qt:
// each request is answered with the canned reply that Kestrel sends for it
// on the frozen locomotive (the tag copied in), so the generator's check
// passes on both servers alike.
//
// Usage: kestrel-floor [--port N]. With port 0 (the default) it prints
// "(Floor) - The system chose port N" on standard output.

#include "benchcases.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using bench::RequestKind;

const std::string& cannedReply(RequestKind kind)
{
    return bench::requestCase(kind).reply;
}

bool sendAll(int fd, const char* bytes, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= size_t(n);
    }
    return true;
}

// Answers one request at the front of `buffer` if it is complete; returns
// the bytes it used, 0 when more must arrive, -1 to close the connection.
long answerOne(int fd, const std::string& buffer, std::string* reply)
{
    if (buffer.empty())
        return 0;
    if (buffer[0] == '@') {
        if (buffer.size() < size_t(bench::kFrameHeaderSize))
            return 0;
        const long length = std::strtol(buffer.c_str() + 1, nullptr, 10);
        if (length < 11 || length > 999999)
            return -1;
        const size_t total = size_t(bench::kFrameHeaderSize + length);
        if (buffer.size() < total)
            return 0;
        const int code = std::atoi(buffer.substr(8, 3).c_str());
        if (code == 6)
            *reply = cannedReply(RequestKind::ControllerValues);
        else if (code == 4)
            *reply = cannedReply(RequestKind::TrainData);
        else
            return long(total); // nothing to say, like Kestrel to an unknown code
        // The tag comes back as it was sent.
        reply->replace(size_t(bench::kFrameTagOffset), 6, buffer, size_t(bench::kFrameTagOffset), 6);
        return sendAll(fd, reply->data(), reply->size()) ? long(total) : -1;
    }
    const size_t end = buffer.find("<END>");
    if (end == std::string::npos)
        return 0;
    const std::string& answer = cannedReply(RequestKind::TextValue);
    return sendAll(fd, answer.data(), answer.size()) ? long(end + 5) : -1;
}

void serve(int fd)
{
    std::string buffer;
    std::string reply;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        buffer.append(chunk, size_t(n));
        long used = 0;
        while ((used = answerOne(fd, buffer, &reply)) > 0)
            buffer.erase(0, size_t(used));
        if (used < 0)
            break;
    }
    ::close(fd);
}

} // namespace

int main(int argc, char** argv)
{
    long port = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            port = std::strtol(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: %s [--port N]\n", argv[0]);
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(uint16_t(port));
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(listener, 128) != 0) {
        std::fprintf(stderr, "kestrel-floor: cannot listen on port %ld: %s\n", port, std::strerror(errno));
        return 1;
    }
    socklen_t size = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    std::printf("(Floor) - The system chose port %u\n", unsigned(ntohs(address.sin_port)));
    std::fflush(stdout);

    // SIGTERM ends the process with status 0; the client threads go with it.
    std::signal(SIGTERM, [](int) { ::_exit(0); });
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            std::perror("kestrel-floor: accept");
            return 1;
        }
        std::thread(serve, fd).detach();
    }
}
