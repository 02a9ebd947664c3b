// Plays the chat server for one client under a flood: greets it, accepts its sign-in, relays LINES chat records as
// fast as the client reads them, and reports when the client has read every byte. Writes the lines it sent, each
// with CR LF, to EXPECTED so that a saved transcript can be compared with them.
// Usage: vesmira_flood_peer LINES EXPECTED   (prints "port N" first, then progress and "read all ... s")

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iconv.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

std::string toCp932(const std::string& utf8) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    std::string out(utf8.size() * 2, '\0');
    char* in = const_cast<char*>(utf8.data());
    std::size_t inLeft = utf8.size();
    char* to = out.data();
    std::size_t outLeft = out.size();
    iconv(cd, &in, &inLeft, &to, &outLeft);
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

// Ordinary chat lines of varying length, each naming its number so that a lost or repeated line shows.
std::string lineText(long index) {
    static const std::string names[] = {toCp932("さくら"), toCp932("taro"), toCp932("新潟の山田")};
    static const std::string colon = toCp932("：");
    static const std::string texts[] = {toCp932("こんにちは、今日もよろしくお願いします"), toCp932("了解です"),
                                        toCp932("明日の会議は十時からでしたっけ？資料は共有フォルダに置いてあります")};
    return names[index % 3] + colon + texts[(index / 3) % 3] + " #" + std::to_string(index);
}

// Waits for the client's next sign-in message (whatever arrives within a moment) and answers "ok".
bool answerStep(int fd) {
    char buffer[512];
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, 60000) <= 0 || recv(fd, buffer, sizeof buffer, 0) <= 0) {
        return false;
    }
    return send(fd, "ok", 2, MSG_NOSIGNAL) == 2;
}

// Bytes the client has not yet taken from its socket: what this side has not had acknowledged, plus what waits in
// the client's receive queue (loopback: both sockets are on this machine).
long unread(int fd, unsigned short clientPort) {
    int unacknowledged = 0;
    ioctl(fd, SIOCOUTQ, &unacknowledged);
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        unsigned localAddress = 0, localPort = 0;
        unsigned long txQueue = 0, rxQueue = 0;
        if (std::sscanf(line.c_str(), " %*d: %x:%x %*x:%*x %*x %lx:%lx", &localAddress, &localPort, &txQueue,
                        &rxQueue) == 4 &&
            localPort == clientPort) {
            return unacknowledged + static_cast<long>(rxQueue);
        }
    }
    return unacknowledged;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: vesmira_flood_peer LINES EXPECTED\n");
        return 2;
    }
    long total = std::atol(argv[1]);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("listen");
        return 1;
    }
    std::printf("port %d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    sockaddr_in client{};
    length = sizeof client;
    int fd = accept(listener, reinterpret_cast<sockaddr*>(&client), &length);
    if (fd < 0 || send(fd, "Hello", 5, MSG_NOSIGNAL) != 5 || !answerStep(fd) || !answerStep(fd) || !answerStep(fd)) {
        std::fprintf(stderr, "sign-in did not complete\n");
        return 1;
    }
    // Let the last reply arrive alone, as a server that relays only after sign-in does.
    usleep(300 * 1000);
    std::ofstream expected(argv[2], std::ios::binary);
    auto start = Clock::now();
    std::string batch;
    for (long i = 0; i < total; ++i) {
        std::string text = lineText(i);
        expected << text << "\r\n";
        std::string record = text;
        record.resize(500, '\0');
        batch += record;
        if (batch.size() >= 500 * 64 || i + 1 == total) {
            for (std::size_t sent = 0; sent < batch.size();) {
                ssize_t n = send(fd, batch.data() + sent, batch.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    std::fprintf(stderr, "the client went away after %ld lines\n", i);
                    return 1;
                }
                sent += static_cast<std::size_t>(n);
            }
            batch.clear();
        }
        if ((i + 1) % 10000 == 0) {
            std::printf("sent %ld at %.2f s\n", i + 1, std::chrono::duration<double>(Clock::now() - start).count());
            std::fflush(stdout);
        }
    }
    expected.close();
    while (unread(fd, ntohs(client.sin_port)) > 0) {
        usleep(1000);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("read all %ld lines in %.2f s: %.0f lines/s\n", total, seconds, total / seconds);
    std::fflush(stdout);
    // Stays connected until the client leaves, so that it is not told the server closed.
    char sink[4096];
    while (recv(fd, sink, sizeof sink, 0) > 0) {
    }
    return 0;
}
