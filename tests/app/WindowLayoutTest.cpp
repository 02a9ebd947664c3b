#include "ClientFixture.h"
#include "app/AboutDlg.h"
#include "session/EntryDlg.h"
#include "session/JudgeDlg.h"
#include "styles/OmakeEditDlg.h"

#include <QGroupBox>
#include <QLabel>
#include <QScreen>

#include <functional>
#include <utility>

// The windows as they are drawn, at the sizes the dialog font takes from 96 to 192 dots per inch: every label's text
// inside its own rectangle and clear of every other control, message boxes as wide as their captions, and the
// dialogs without a parent centred over the main window.
using WindowLayout = ClientFixture;

namespace {

void expectLabelsClearOfTheirNeighbours(QWidget* window) {
    const QList<QWidget*> controls = window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (label->isHidden() || label->text().isEmpty()) {
            continue;
        }
        SCOPED_TRACE(label->text().toStdString());
        QFontMetrics metrics(label->font());
        QRect text(label->pos(), QSize(metrics.horizontalAdvance(label->text()), metrics.height()));
        EXPECT_TRUE(label->geometry().contains(text)) << "text " << text.width() << " px in " << label->width();
        for (QWidget* other : controls) {
            if (other != label && !other->isHidden() && !qobject_cast<QGroupBox*>(other)) {
                EXPECT_FALSE(text.intersects(other->geometry())) << "touches " << other->metaObject()->className();
            }
        }
    }
}

// A window of a modal run: its labels, and where it opened: over the main window, or on the screen when the main
// window is partly off it.
void expectLaidOutOver(ModalWindow& window, QWidget* mainWindow) {
    expectLabelsClearOfTheirNeighbours(window.widget());
    QRect screen = mainWindow->screen()->availableGeometry();
    QRect dialog = window.widget()->frameGeometry();
    if (screen.contains(mainWindow->frameGeometry())) {
        QPoint offset = dialog.center() - mainWindow->frameGeometry().center();
        EXPECT_LE(offset.manhattanLength(), 2) << window.caption();
    } else {
        EXPECT_TRUE(screen.contains(dialog) || dialog.width() > screen.width()) << window.caption();
    }
}

} // namespace

TEST_F(WindowLayout, LabelsClearOfTheirFieldsAndDialogsOverTheMainWindowAtEveryFontSize) {
    struct RestoredFont {
        const QFont font = QApplication::font();
        ~RestoredFont() { QApplication::setFont(font); }
    } restored;
    for (int pixels : {12, 13, 15, 18, 24}) {
        SCOPED_TRACE(std::to_string(pixels) + " px");
        QFont sized = restored.font;
        sized.setPixelSize(pixels);
        QApplication::setFont(sized);
        TempDir folder;
        TempDir::write("omake.txt", "");
        // The register hint, whose caption is wider than its text.
        TestSeam::expect([](ModalWindow& box) {
            QFont title = box.widget()->font();
            title.setBold(true);
            QFontMetrics metrics(title);
            // Room for the caption, the icon and three buttons of a title bar (openbox needs this much).
            EXPECT_GE(box.widget()->width(),
                      metrics.horizontalAdvance(QString::fromStdString(box.caption())) + 8 * metrics.height());
            box.press(IDOK);
        });
        m_window = std::make_unique<CClientDlg>();
        AfxGetApp()->m_pMainWnd = m_window.get();
        ASSERT_TRUE(m_window->Create());
        QWidget* main = window().widget();
        expectLabelsClearOfTheirNeighbours(main);
        main->move(main->screen()->availableGeometry().topLeft() + QPoint(37, 23)); // wherever the user put it

        const std::pair<std::function<void()>, int> dialogs[] = {
            {[] { CEntryDlg().DoModal(); }, IDC_ENTRY_CANCEL},
            {[] { CJudgeDlg().DoModal(); }, IDC_JUDGE_CANCEL},
            {[] { COmakeEditDlg().DoModal(); }, IDC_OMAKE_EXIT},
            {[] { CAboutDlg().DoModal(); }, IDOK},
        };
        for (const auto& [open, close] : dialogs) {
            TestSeam::expect([main, close](ModalWindow& dialog) {
                expectLaidOutOver(dialog, main);
                dialog.press(close);
            });
            open();
        }
        closeWindow();
    }
}
