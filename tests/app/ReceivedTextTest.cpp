#include "ClientFixture.h"
#include "platform/TextLogView.h"

#include <QScrollBar>

#include <tuple>

using ReceivedText = ClientFixture;

// A hundred lines arrive after the reader scrolled up, again once they selected text there, after they selected text
// with the end in view, and at the end: only then does the view go along; before, the lines in view and the
// selection stay.
TEST_F(ReceivedText, NewLinesFollowTheEndOnlyWhileTheReaderIsThere) {
    std::atomic<int> batchesWanted{0};
    signIn("taro", [&](PeerConnection& peer) {
        for (int line = 0; line < 500; ++line) {
            for (int wait = 0; wait < 2000 && batchesWanted <= line / 100; ++wait) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            peer.send(chatRecord("hiro: line " + std::to_string(1000 + line))); // 15 bytes and CR LF in the transcript
        }
        peer.waitForEnd();
    });
    auto* view = dynamic_cast<TextLogView*>(window().GetDlgItem(IDC_RECEIVED)->widget());
    QScrollBar* bar = view->verticalScrollBar();
    auto arrive = [&](int batch) {
        batchesWanted = batch;
        bool arrived = pumpUntil([&] { return window().transcript().GetLength() >= 1700 * batch; });
        pumpFor(std::chrono::milliseconds(50)); // the frame that settles the view
        return arrived;
    };
    // The scroll bar, the first character in view and the selection.
    auto reading = [view, bar] {
        int start = 0, end = 0;
        view->selectionOffsets(&start, &end);
        return std::tuple(bar->value(), view->offsetAtPoint(QPoint(1, 1)), start, end);
    };
    ASSERT_TRUE(arrive(1));
    bar->setValue(bar->maximum() / 2);
    auto scrolledUp = reading();
    ASSERT_TRUE(arrive(2));
    EXPECT_EQ(reading(), scrolledUp);
    int top = view->offsetAtPoint(QPoint(1, 1));
    view->select(top + 5, top + 40);
    auto scrolledUpSelecting = reading();
    ASSERT_TRUE(arrive(3));
    EXPECT_EQ(reading(), scrolledUpSelecting);

    bar->setValue(bar->maximum());
    view->select(view->characterCount() - 30, view->characterCount() - 10);
    auto selecting = reading();
    ASSERT_TRUE(arrive(4));
    EXPECT_EQ(reading(), selecting);
    EXPECT_LT(bar->value(), bar->maximum());

    view->select(-1, -1);
    bar->setValue(bar->maximum());
    ASSERT_TRUE(arrive(5));
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(view->caretOffset(), view->characterCount());
}
