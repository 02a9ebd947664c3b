#include "platform/TextLogView.h"
#include "platform/base/Cp932Codec.h"
#include "platform/base/TextLog.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <gtest/gtest.h>

#include <memory>

namespace {

// What the ordinary editor showed for the same bytes: the text converted, each CR LF made LF, then set.
QString asTheEditorShowsIt(const std::string& bytes) {
    std::string utf8 = Cp932Codec::toUtf8(bytes);
    QPlainTextEdit editor;
    editor.setPlainText(QString::fromUtf8(utf8.data(), qsizetype(utf8.size())).replace("\r\n", "\n"));
    return editor.toPlainText();
}

// A light view and an ordinary editor side by side, the same size, font and text, so that the same keys and clicks
// can be given to both and their answers compared.
struct SideBySide {
    explicit SideBySide(const std::string& bytes, std::size_t chunkSize = 7) : log(chunkSize) {
        for (QPlainTextEdit* edit : {static_cast<QPlainTextEdit*>(&view), &editor}) {
            edit->setTabChangesFocus(true);
            edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            edit->resize(120, 200);
            edit->show();
        }
        log.append(bytes);
        view.showLog(log);
        editor.setPlainText(asTheEditorShowsIt(bytes));
        QApplication::processEvents();
    }
    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = {}) {
        for (QWidget* edit : {static_cast<QWidget*>(&view), static_cast<QWidget*>(&editor)}) {
            QKeyEvent event(QEvent::KeyPress, key, modifiers, text);
            QApplication::sendEvent(edit, &event);
        }
    }
    void mouse(QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
        for (QPlainTextEdit* edit : {static_cast<QPlainTextEdit*>(&view), &editor}) {
            QMouseEvent event(type, at, edit->viewport()->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
            QApplication::sendEvent(edit->viewport(), &event);
        }
    }
    // Copies with Ctrl+C in each: both must copy the same text, which is returned.
    QString copiedAlike() {
        QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
        QApplication::sendEvent(&view, &copy);
        QString fromView = QGuiApplication::clipboard()->text();
        QApplication::sendEvent(&editor, &copy);
        EXPECT_EQ(fromView, QGuiApplication::clipboard()->text());
        return fromView;
    }

    TextLog log;
    TextLogView view;
    QPlainTextEdit editor;
};

QAccessibleTextInterface* accessibleText(QWidget* widget) {
    return QAccessible::queryAccessibleInterface(widget)->textInterface();
}

const std::string kWrapped =
    "first line of words that wraps\r\n" + Cp932Codec::fromUtf8("二行目は日本語の長い行です") + "\r\n\r\nlast";

} // namespace

TEST(TextLogView, ShowsTheBytesAsTheEditorDidAcrossChunkBorders) {
    struct Case {
        const char* name;
        std::string first;
        std::string appended;
    };
    const Case cases[] = {
        {"CR LF lines", "one\r\ntwo\r\n", "three\r\n"},
        {"lone CR and lone LF", "a\rb\nc", "\r\n"},
        {"CR CR LF is one line end", "a\r\r\nb\r\r\r\nc", ""},
        {"CR at the end, LF appended", "a\r", "\nb"},
        {"two CRs at the end, LF appended", "a\r\r", "\nb"},
        {"invalid bytes", "\x81\r\n\xFF\x80 \xA0" + Cp932Codec::fromUtf8("①㈱～"), "\x81"},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TextLog log(3);
        TextLogView view;
        log.append(c.first);
        view.showLog(log);
        EXPECT_EQ(view.shownText(), asTheEditorShowsIt(c.first));
        log.append(c.appended);
        view.showLog(log);
        QString expected = asTheEditorShowsIt(c.first + c.appended);
        EXPECT_EQ(view.shownText(), expected);
        EXPECT_EQ(accessibleText(&view)->text(0, accessibleText(&view)->characterCount()), expected);
        EXPECT_TRUE(view.document()->isEmpty()); // nothing held twice

        view.grab(); // lays the lines in view out
        TextLog other(3);
        other.append("xy");
        view.showLog(other); // nothing of the log shown before stays
        EXPECT_EQ(view.shownText(), QStringLiteral("xy"));
        EXPECT_EQ(accessibleText(&view)->characterCount(), 2);
    }
}

TEST(TextLogView, KeysAndMouseSelectAndCopyWhatTheEditorWould) {
    SideBySide both(kWrapped);
    both.key(Qt::Key_Home, Qt::ControlModifier);
    for (int i = 0; i < 35; ++i) {
        both.key(Qt::Key_Right, Qt::ShiftModifier);
    }
    both.key(Qt::Key_Down, Qt::ShiftModifier);
    both.key(Qt::Key_End, Qt::ShiftModifier);
    EXPECT_TRUE(both.copiedAlike().contains('\n'));

    both.mouse(QEvent::MouseButtonPress, QPoint(30, 10), Qt::LeftButton);
    both.mouse(QEvent::MouseMove, QPoint(50, 60), Qt::LeftButton);
    both.mouse(QEvent::MouseButtonRelease, QPoint(50, 60), Qt::NoButton);
    QString dragged = both.copiedAlike();
    EXPECT_FALSE(dragged.isEmpty());

    // The context menu's Copy gives the same.
    QGuiApplication::clipboard()->clear();
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, QPoint(50, 60), both.view.mapToGlobal(QPoint(50, 60)));
    QApplication::sendEvent(both.view.viewport(), &menuEvent);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    QAction* copy = menu->findChild<QAction*>(QStringLiteral("edit-copy"));
    ASSERT_NE(copy, nullptr);
    copy->trigger();
    menu->close();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), dragged);

    both.key(Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(both.copiedAlike(), both.editor.toPlainText());

    EXPECT_TRUE(both.view.showsLog());
}

TEST(TextLogView, TypingHandsOverTheTextWithUndoAndTheNextLineTakesItBack) {
    SideBySide both(kWrapped);
    both.key(Qt::Key_End, Qt::ControlModifier);
    both.key(Qt::Key_X, Qt::NoModifier, QStringLiteral("x"));
    EXPECT_FALSE(both.view.showsLog());
    EXPECT_EQ(both.view.toPlainText(), both.editor.toPlainText());
    EXPECT_TRUE(both.view.toPlainText().endsWith(QStringLiteral("lastx")));
    both.key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(both.view.toPlainText(), asTheEditorShowsIt(kWrapped));

    both.key(Qt::Key_Y, Qt::NoModifier, QStringLiteral("y"));
    both.log.append(" line\r\n");
    both.view.showLog(both.log);
    EXPECT_TRUE(both.view.showsLog());
    EXPECT_EQ(both.view.shownText(), asTheEditorShowsIt(kWrapped + " line\r\n"));
    // Nothing typed since the text was set: undo has nothing to take back.
    both.key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_TRUE(both.view.showsLog());
}

TEST(TextLogView, FollowsTheEndUntilTheUserScrollsAndReportsTheCaretToScreenReaders) {
    std::string many;
    for (int i = 0; i < 200; ++i) {
        many += "line " + std::to_string(i) + "\r\n";
    }
    SideBySide both(many);
    both.view.moveToEnd();
    QApplication::processEvents();
    QAccessibleTextInterface* text = accessibleText(&both.view);
    int end = text->characterCount();
    EXPECT_EQ(text->cursorPosition(), end);
    QRect caret = both.view.characterRect(end);
    EXPECT_GT(caret.top(), 0);
    EXPECT_LE(caret.bottom(), both.view.viewport()->height());
    QScrollBar* bar = both.view.verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());
    // A click above the slider pages up by the lines in view; it does not jump to the top.
    bar->triggerAction(QAbstractSlider::SliderPageStepSub);
    EXPECT_EQ(bar->value(), bar->maximum() - bar->pageStep());
    EXPECT_GT(bar->value(), 0);

    bar->setValue(0);
    EXPECT_EQ(both.view.characterRect(0).top(), int(both.view.document()->documentMargin()));
    text->setSelection(0, 5, 9);
    int start = 0;
    int stop = 0;
    text->selection(0, &start, &stop);
    EXPECT_EQ(text->text(start, stop), QStringLiteral("0\nli"));

    both.log.append("new\r\n");
    both.view.showLog(both.log);
    both.view.moveToEnd();
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(text->cursorPosition(), text->characterCount());

    // Page and line keys keep the caret's column, also from a line scrolled out of view.
    both.key(Qt::Key_Home, Qt::ControlModifier);
    auto column = [&] {
        return text->cursorPosition() - both.view.shownText().lastIndexOf('\n', text->cursorPosition() - 1) - 1;
    };
    for (int key : {Qt::Key_Right, Qt::Key_Right, Qt::Key_PageDown, Qt::Key_PageDown, Qt::Key_PageUp, Qt::Key_Left,
                    Qt::Key_Right}) {
        both.key(key);
    }
    EXPECT_EQ(column(), 2);
    bar->setValue(bar->maximum());
    both.key(Qt::Key_Down);
    both.key(Qt::Key_Down);
    EXPECT_EQ(column(), 2);
}
