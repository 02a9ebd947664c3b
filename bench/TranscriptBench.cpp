// Floods a signed-in client with relayed chat records and reports how the cost of one line and the memory change as
// the transcript grows; then saves, disconnects and shows everything again, timing each, and checks that the
// transcript, the received-text control and the saved file hold exactly the lines sent, and that the control followed
// the end. Exits 1 when they do not.
// Usage: vesmira_transcript_bench [LINES]   (default 100000; checkpoints at 1k, 10k, 100k, 1M, 10M)

#include "ScriptedPeer.h"
#include "TempDir.h"
#include "app/ClientDlg.h"
#include "platform/CWinApp.h"
#include "platform/TestSeam.h"
#include "res/ResourceIds.h"
#include "session/ClientSocket.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QScrollBar>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long statusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == field) {
            long kb = 0;
            status >> kb;
            return kb;
        }
        status.ignore(1 << 12, '\n');
    }
    return -1;
}

double megabytes(long kb) {
    return kb / 1024.0;
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The event loop as the program runs it: no sleeping between events, so the figures are the client's own cost.
void runUntil(const std::function<bool()>& condition) {
    while (!condition()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

// Lets everything posted so far run (the frame that draws the newest line included).
void drainEvents() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

std::string lineText(long index) {
    char line[64];
    std::snprintf(line, sizeof line, "bench\x81\x46line %08ld", index);
    return line;
}

// Compares `actual` with the lines 0..count-1, each followed by CR LF; reports the first difference.
bool holdsEveryLine(const char* what, std::string_view actual, long count) {
    std::size_t at = 0;
    for (long i = 0; i < count; ++i) {
        std::string expected = lineText(i) + "\r\n";
        if (actual.compare(at, expected.size(), expected) != 0) {
            std::fprintf(stderr, "FAIL: %s differs at line %ld (byte %zu)\n", what, i, at);
            return false;
        }
        at += expected.size();
    }
    if (at != actual.size()) {
        std::fprintf(stderr, "FAIL: %s has %zu bytes after the last line\n", what, actual.size() - at);
        return false;
    }
    return true;
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
    bool unexpected = false;
    TestSeam::install([&](const std::string& what) {
        std::fprintf(stderr, "unexpected window: %s\n", what.c_str());
        unexpected = true;
    });
    TestSeam::expect([](ModalWindow& dialog) {
        dialog.setControlText(IDC_JUDGE_PASSWORD, "pw");
        dialog.press(IDC_JUDGE_AUTHENTICATE);
    });

    ScriptedPeer peer;
    std::atomic<bool> signedIn{false};
    peer.run([total, &signedIn](PeerConnection& connection) {
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
        for (long i = 0; i < total; ++i) {
            batch += chatRecord(lineText(i));
            if (batch.size() >= 500 * 64 || i + 1 == total) {
                if (!connection.send(batch)) {
                    return;
                }
                batch.clear();
            }
        }
        connection.waitForEnd(std::chrono::hours(2));
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
    // Deep socket buffers keep records waiting for the client, so the figures are its own cost, not the sender's.
    int deep = 16 << 20;
    ::setsockopt(window.connection()->handle(), SOL_SOCKET, SO_RCVBUF, &deep, sizeof deep);

    // Every line has the same length, so the transcript's length counts them; what they hold is checked at the end.
    const long lineBytes = long(lineText(0).size()) + 2;
    auto lines = [&] { return long(window.transcript().GetLength()) / lineBytes; };

    const long kWindow = 10000;
    std::printf("%10s %16s %22s %12s %12s\n", "lines", "lines/s so far", "us/line (next 10,000)", "RSS MB",
                "peak RSS MB");
    std::vector<double> perLine;
    auto start = Clock::now();
    for (long checkpoint : {1000L, 10000L, 100000L, 1000000L, 10000000L}) {
        if (checkpoint + kWindow > total) {
            break;
        }
        runUntil([&] { return lines() >= checkpoint; });
        double rate = double(lines()) / std::chrono::duration<double>(Clock::now() - start).count();
        // The cost of the next lines, with the transcript at this length.
        long base = lines();
        auto windowStart = Clock::now();
        runUntil([&] { return lines() >= std::min(base + kWindow, total); });
        double microseconds = millisecondsSince(windowStart) * 1000.0 / double(std::max(1L, lines() - base));
        perLine.push_back(microseconds);
        std::printf("%10ld %16.0f %22.2f %12.1f %12.1f\n", checkpoint, rate, microseconds,
                    megabytes(statusKb("VmRSS:")), megabytes(statusKb("VmHWM:")));
        std::fflush(stdout);
    }
    runUntil([&] { return lines() >= total; });
    drainEvents();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("total: %ld lines in %.1f s (%.0f lines/s), peak RSS %.1f MB\n", lines(), seconds,
                double(lines()) / seconds, megabytes(statusKb("VmHWM:")));
    if (perLine.size() >= 2) {
        std::printf("per-line cost ratio, last checkpoint / 1k: %.2f\n", perLine.back() / perLine.front());
    }

    bool correct = holdsEveryLine("the transcript", window.transcript().bytes(), total);
    CWnd* received = window.GetDlgItem(IDC_RECEIVED);
    correct = holdsEveryLine("the received-text control", received->GetWindowText().view(), total) && correct;
    // Nobody scrolled or selected: the view followed the end all the way.
    auto* area = qobject_cast<QAbstractScrollArea*>(received->widget());
    area->viewport()->repaint();
    if (area->verticalScrollBar()->value() != area->verticalScrollBar()->maximum()) {
        std::fprintf(stderr, "the received text did not follow the end\n");
        correct = false;
    }

    std::string path = folder.file("saved.txt");
    TestSeam::expect([&](ModalWindow& dialog) { dialog.chooseFile(path); });
    TestSeam::expect([](ModalWindow& box) { box.press(IDOK); });
    auto saveStart = Clock::now();
    window.sendCommand(IDC_SAVE);
    double saveMs = millisecondsSince(saveStart);
    std::ifstream saved(path, std::ios::binary);
    std::string savedBytes((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    correct = holdsEveryLine("the saved file", savedBytes, total) && correct;

    auto disconnectStart = Clock::now();
    window.sendCommand(IDC_DISCONNECT);
    qobject_cast<QAbstractScrollArea*>(received->widget())->viewport()->repaint();
    double disconnectMs = millisecondsSince(disconnectStart);
    correct = correct && received->GetWindowText().IsEmpty();

    // The first line after a new sign-in: what the receive handler does with it, the frame that shows it included.
    auto againStart = Clock::now();
    window.transcript() += CString(lineText(total) + "\r\n");
    received->SetWindowText(window.transcript());
    received->ScrollToEnd();
    // Drawn now rather than at the next frame, so the time includes finding the end and laying out what shows.
    qobject_cast<QAbstractScrollArea*>(received->widget())->viewport()->repaint();
    double againMs = millisecondsSince(againStart);
    correct = holdsEveryLine("the control after Disconnect", received->GetWindowText().view(), total + 1) && correct;

    std::printf("save: %.0f ms, disconnect: %.1f ms, first line after it: %.1f ms, peak RSS %.1f MB\n", saveMs,
                disconnectMs, againMs, megabytes(statusKb("VmHWM:")));

    // The first key the user types into the control, drawn (the editor then holds the whole text: not for 10M).
    if (total <= 2000000) {
        auto typeStart = Clock::now();
        QKeyEvent key(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, QStringLiteral("x"));
        QApplication::sendEvent(received->widget(), &key);
        qobject_cast<QAbstractScrollArea*>(received->widget())->viewport()->repaint();
        std::printf("first key typed into it: %.0f ms, peak RSS %.1f MB\n", millisecondsSince(typeStart),
                    megabytes(statusKb("VmHWM:")));
        correct = received->GetWindowText().view().ends_with("\r\nx") && correct;
    }
    window.DestroyWindow();
    app.m_pMainWnd = nullptr;
    if (!correct || unexpected) {
        std::fprintf(stderr, "FAIL: not every line was kept and shown as sent\n");
        return 1;
    }
    std::printf("checked: transcript, control and saved file hold every line as sent\n");
    return 0;
}
