#include "ClientFixture.h"
#include "platform/TextLogView.h"

#include <QMouseEvent>
#include <QScrollBar>

#include <algorithm>

// The received text while others talk, through the real window: new lines follow the end only while the reader is
// at the end with nothing selected; a reader who scrolled up or selected text keeps the place and the selection.
using ReceivedText = ClientFixture;

namespace {

constexpr int kBatch = 100;

// What the reader sees of the conversation.
struct Reading {
    int scrollBar;
    QString topLine;
    int selectionStart;
    int selectionEnd;
    QString selected;
    bool operator==(const Reading&) const = default;
};

void PrintTo(const Reading& reading, std::ostream* out) {
    *out << "bar " << reading.scrollBar << ", top \"" << reading.topLine.toStdString() << "\", selection "
         << reading.selectionStart << "-" << reading.selectionEnd;
}

Reading readingOf(TextLogView& view) {
    int top = view.offsetAtPoint(QPoint(1, 1));
    Reading reading{view.verticalScrollBar()->value(), view.textRange(top, top + 12), 0, 0, {}};
    view.selectionOffsets(&reading.selectionStart, &reading.selectionEnd);
    reading.selected = view.textRange(reading.selectionStart, reading.selectionEnd);
    return reading;
}

void mouse(TextLogView& view, QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
    QMouseEvent event(type, at, view.viewport()->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(view.viewport(), &event);
}

} // namespace

TEST_F(ReceivedText, NewLinesFollowTheEndOnlyWhileTheReaderIsThere) {
    struct Case {
        const char* name;
        bool scrolledUp;
        bool selecting;
        bool follows;
    };
    const Case cases[] = {
        {"at the end", false, false, true},
        {"scrolled up", true, false, false},
        {"a selection, the end in view", false, true, false},
        {"scrolled up with a selection", true, true, false},
        {"back at the end", false, false, true},
    };
    std::atomic<int> batchesWanted{1};
    signIn("taro", [&](PeerConnection& peer) {
        for (int batch = 0; batch < 1 + int(std::size(cases)); ++batch) {
            for (int i = 0; i < 2000 && batchesWanted <= batch; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            for (int i = 0; i < kBatch; ++i) {
                peer.send(chatRecord("hiro" + sjis("：") + "line " + std::to_string(batch * kBatch + i)));
            }
        }
        peer.waitForEnd();
    });
    auto* view = dynamic_cast<TextLogView*>(window().GetDlgItem(IDC_RECEIVED)->widget());
    ASSERT_NE(view, nullptr);
    QScrollBar* bar = view->verticalScrollBar();
    auto linesReceived = [this] {
        std::string bytes = window().transcript().bytes();
        return std::size_t(std::count(bytes.begin(), bytes.end(), '\n'));
    };
    ASSERT_TRUE(pumpUntil([&] { return linesReceived() >= kBatch; }));
    pumpFor(std::chrono::milliseconds(50)); // the frame that settles the view

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A click puts the caret where it lands and drops any selection.
        mouse(*view, QEvent::MouseButtonPress, QPoint(5, 5), Qt::LeftButton);
        mouse(*view, QEvent::MouseButtonRelease, QPoint(5, 5), Qt::NoButton);
        bar->setValue(c.scrolledUp ? bar->maximum() / 2 : bar->maximum());
        if (c.selecting) {
            mouse(*view, QEvent::MouseButtonPress, QPoint(20, 10), Qt::LeftButton);
            mouse(*view, QEvent::MouseMove, QPoint(60, 50), Qt::LeftButton);
            mouse(*view, QEvent::MouseButtonRelease, QPoint(60, 50), Qt::NoButton);
        }
        pumpFor(std::chrono::milliseconds(30));
        Reading before = readingOf(*view);
        ASSERT_EQ(before.selected.isEmpty(), !c.selecting);

        std::size_t expected = linesReceived() + kBatch;
        ++batchesWanted;
        ASSERT_TRUE(pumpUntil([&] { return linesReceived() >= expected; }));
        pumpFor(std::chrono::milliseconds(50));
        if (c.follows) {
            EXPECT_EQ(bar->value(), bar->maximum());
            EXPECT_EQ(view->caretOffset(), view->characterCount());
            EXPECT_LE(view->characterRect(view->characterCount()).bottom(), view->viewport()->height());
        } else {
            EXPECT_EQ(readingOf(*view), before);
            EXPECT_LT(bar->value(), bar->maximum());
        }
    }
}
