// Floods a signed-in client with relayed chat records and reports how the cost of one line changes as the
// transcript grows. Usage: vesmira_transcript_bench [LINES]   (default 100000; checkpoints at 1k, 10k, 100k, 1M)

#include "ScriptedPeer.h"
#include "TempDir.h"
#include "app/ClientDlg.h"
#include "platform/CWinApp.h"
#include "platform/TestSeam.h"
#include "res/ResourceIds.h"
#include "session/ClientSocket.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long peakRssKb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            long kb = 0;
            status >> kb;
            return kb;
        }
        status.ignore(1 << 12, '\n');
    }
    return -1;
}

// The event loop as the program runs it: no sleeping between events, so the figures are the client's own cost.
void runUntil(const std::function<bool()>& condition) {
    while (!condition()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

std::string lineText(long index) {
    char line[64];
    std::snprintf(line, sizeof line, "bench\x81\x46line %08ld", index);
    return line;
}

std::string chatRecord(long index) {
    std::string bytes = lineText(index);
    bytes.resize(500, '\0');
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    long total = argc > 1 ? std::atol(argv[1]) : 100000;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    platformInitialize();
    AfxSocketInit();
    CWinApp app("Vesmira");
    TempDir folder;
    TempDir::write("EntryData.txt", "bench\r\npw\r\n");
    TestSeam::install([](const std::string& what) { std::fprintf(stderr, "unexpected window: %s\n", what.c_str()); });
    TestSeam::expect([](ModalWindow& dialog) {
        dialog.setControlText(IDC_JUDGE_PASSWORD, "pw");
        dialog.press(IDC_JUDGE_AUTHENTICATE);
    });

    ScriptedPeer peer;
    std::atomic<bool> signedIn{false};
    // Lines beyond the last checkpoint, to time the thousand that follow it (a notification may take several
    // hundred lines at once, so a checkpoint may be passed by that much).
    const long sent = total + 2000;
    peer.run([sent, &signedIn](PeerConnection& connection) {
        connection.send("Hello");
        for (std::size_t length : {6u, 10u, 11u}) {
            connection.read(length);
            connection.send("ok");
        }
        // Records sent before the last reply is read would join it in one read.
        waitForFlag(signedIn, std::chrono::seconds(30));
        std::string batch;
        int deep = 16 << 20;
        ::setsockopt(connection.handle(), SOL_SOCKET, SO_SNDBUF, &deep, sizeof deep);
        for (long i = 0; i < sent; ++i) {
            batch += chatRecord(i);
            if (batch.size() >= 500 * 64 || i + 1 == sent) {
                if (!connection.send(batch)) {
                    return;
                }
                batch.clear();
            }
        }
        connection.waitForEnd(std::chrono::hours(1));
    });

    CClientDlg window;
    app.m_pMainWnd = &window;
    window.Create();
    window.SetDlgItemText(IDC_ADDRESS, "127.0.0.1");
    window.SetDlgItemText(IDC_PORT, CString(std::to_string(peer.port())));
    window.sendCommand(IDC_CONNECT);
    if (!pumpUntil([&] { return window.signedIn() == 1; }, std::chrono::seconds(20))) {
        std::fprintf(stderr, "sign-in failed\n");
        return 1;
    }
    signedIn = true;

    // Every line must be shown as it was sent, in order: a figure for lost or broken lines would mean nothing.
    long counted = 0;
    std::size_t scanned = 0;
    auto lines = [&] {
        const std::string& bytes = window.transcript().bytes();
        for (std::size_t at = bytes.find("\r\n", scanned); at != std::string::npos; at = bytes.find("\r\n", at + 2)) {
            if (bytes.compare(scanned, at - scanned, lineText(counted)) != 0) {
                std::fprintf(stderr, "line %ld differs from what was sent: \"%s\"\n", counted,
                             bytes.substr(scanned, at - scanned).c_str());
                std::exit(1);
            }
            ++counted;
            scanned = at + 2;
        }
        return counted;
    };
    // Deep socket buffers keep records waiting for the client, so the figures are its own cost, not the sender's.
    int deep = 16 << 20;
    ::setsockopt(window.connection()->handle(), SOL_SOCKET, SO_RCVBUF, &deep, sizeof deep);
    const long window1k = 1000;
    std::printf("%10s %14s %16s %12s\n", "lines", "lines/s", "us/line (next 1k)", "peak RSS MB");
    std::vector<double> perLine;
    auto start = Clock::now();
    long lastCount = 0;
    auto lastTime = start;
    for (long checkpoint : {1000L, 10000L, 100000L, 1000000L}) {
        if (checkpoint > total) {
            break;
        }
        runUntil([&] { return lines() >= checkpoint; });
        auto reached = Clock::now();
        double rate = double(lines() - lastCount) / std::chrono::duration<double>(reached - lastTime).count();
        // The cost of the next thousand lines, with the transcript at this length.
        long base = lines();
        auto windowStart = Clock::now();
        runUntil([&] { return lines() >= std::min(base + window1k, sent); });
        double microseconds = std::chrono::duration<double, std::micro>(Clock::now() - windowStart).count() /
                              double(std::max(1L, lines() - base));
        perLine.push_back(microseconds);
        std::printf("%10ld %14.0f %16.1f %12.1f\n", checkpoint, rate, microseconds, peakRssKb() / 1024.0);
        std::fflush(stdout);
        lastCount = lines();
        lastTime = Clock::now();
    }
    runUntil([&] { return lines() >= sent; });
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("total: %ld lines in %.1f s (%.0f lines/s), peak RSS %.1f MB\n", lines(), seconds,
                double(lines()) / seconds, peakRssKb() / 1024.0);
    if (perLine.size() >= 3) {
        std::printf("per-line cost ratio 100k/1k: %.2f\n", perLine[2] / perLine[0]);
    }
    window.DestroyWindow();
    app.m_pMainWnd = nullptr;
    return 0;
}
