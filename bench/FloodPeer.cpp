// A server that signs in one client (any registration or authentication) and then relays numbered chat records to it
// as fast as it reads them, timing each thousand lines until the client has read every byte of them. It writes the
// transcript the client must end up with, so that what the client saved can be compared line for line.
//
// Usage: vesmira_flood_peer [--lines N] [--lan] [--expect FILE]
//   --lan: 1,448-byte segments a few milliseconds apart, as a LAN delivers a busy room; default: one burst.
// Prints "listening on 127.0.0.1:PORT", then one row per 1,000 lines, then "done".

#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// The line of record `index`: numbered, and of a length that varies from one line to the next.
std::string lineText(long index) {
    char head[40];
    std::snprintf(head, sizeof head, "flood\x81\x46%07ld ", index);
    return head + std::string(static_cast<std::size_t>(index * 37 % 440), static_cast<char>('a' + index % 26));
}

// Bytes the client has not read yet: what it has not acknowledged, plus what waits in its socket (found in the
// kernel's table of TCP sockets by its address, so the client needs no help).
long unreadBytes(int fd, const sockaddr_in& client) {
    int unacknowledged = 0;
    ::ioctl(fd, TIOCOUTQ, &unacknowledged);
    std::ifstream table("/proc/net/tcp");
    std::string row;
    std::getline(table, row);
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "%08X:%04X", client.sin_addr.s_addr, ntohs(client.sin_port));
    while (std::getline(table, row)) {
        std::istringstream fields(row);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        if (local == wanted) {
            return unacknowledged + std::strtol(queues.substr(queues.find(':') + 1).c_str(), nullptr, 16);
        }
    }
    return unacknowledged;
}

} // namespace

int main(int argc, char** argv) {
    long lines = 100000;
    bool lan = false;
    std::string expectPath;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--lines" && i + 1 < argc) {
            lines = std::atol(argv[++i]);
        } else if (option == "--lan") {
            lan = true;
        } else if (option == "--expect" && i + 1 < argc) {
            expectPath = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--lines N] [--lan] [--expect FILE]\n", argv[0]);
            return 2;
        }
    }
    if (!expectPath.empty()) {
        std::ofstream expected(expectPath, std::ios::binary);
        for (long i = 0; i < lines; ++i) {
            expected << lineText(i) << "\r\n";
        }
    }

    int port = 0;
    int listener = listenOnLoopback(1, &port);
    if (listener < 0) {
        std::perror("listen");
        return 1;
    }
    std::printf("listening on 127.0.0.1:%d\n", port);
    std::fflush(stdout);
    sockaddr_in client{};
    socklen_t length = sizeof client;
    int fd = ::accept(listener, reinterpret_cast<sockaddr*>(&client), &length);
    if (fd < 0) {
        std::perror("accept");
        return 1;
    }
    PeerConnection connection(fd);

    // Lock-step sign-in: every step is accepted.
    connection.send("Hello");
    for (int step = 0; step < 3; ++step) {
        char message[256];
        if (::recv(fd, message, sizeof message, 0) <= 0) {
            std::fprintf(stderr, "the client left during sign-in\n");
            return 1;
        }
        connection.send("ok");
    }
    // Relayed lines sent before the client has taken the last "ok" would join it in one read.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (lan) {
        int noDelay = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    }

    std::printf("%10s %12s %16s\n", "lines", "seconds", "lines/s (last 1k)");
    auto start = Clock::now();
    auto batchStart = start;
    std::string pending;
    for (long i = 0; i < lines; ++i) {
        pending += chatRecord(lineText(i));
        if ((i + 1) % 1000 != 0 && i + 1 != lines) {
            continue;
        }
        std::size_t segment = lan ? 1448 : pending.size();
        for (std::size_t at = 0; at < pending.size(); at += segment) {
            if (!connection.send(std::string_view(pending).substr(at, segment))) {
                std::fprintf(stderr, "the client left after %ld lines\n", i);
                return 1;
            }
            if (lan) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        pending.clear();
        while (unreadBytes(fd, client) > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        auto now = Clock::now();
        long inBatch = (i % 1000) + 1;
        if ((i + 1) % 10000 == 0 || i + 1 == lines) {
            std::printf("%10ld %12.2f %16.0f\n", i + 1, std::chrono::duration<double>(now - start).count(),
                        double(inBatch) / std::chrono::duration<double>(now - batchStart).count());
            std::fflush(stdout);
        }
        batchStart = now;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("done: %ld lines read by the client in %.2f s (%.0f lines/s)\n", lines, seconds, lines / seconds);
    std::fflush(stdout);
    connection.waitForEnd(std::chrono::hours(24));
    return 0;
}
