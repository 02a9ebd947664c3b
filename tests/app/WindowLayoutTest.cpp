#include "ClientFixture.h"
#include "session/EntryDlg.h"
#include "styles/OmakeEditDlg.h"

#include <QGroupBox>
#include <QLabel>

using WindowLayout = ClientFixture;

namespace {

// Every label's text inside its own rectangle and clear of every other control of the window.
void expectLabelsClear(QWidget* window) {
    for (QLabel* label : window->findChildren<QLabel*>()) {
        QFontMetrics metrics(label->font());
        QRect text(label->pos(), QSize(metrics.horizontalAdvance(label->text()), metrics.height()));
        EXPECT_TRUE(label->isHidden() || label->geometry().contains(text)) << label->text().toStdString();
        for (QWidget* other : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            EXPECT_TRUE(other == label || other->isHidden() || qobject_cast<QGroupBox*>(other) ||
                        !text.intersects(other->geometry()))
                << label->text().toStdString() << " touches " << other->metaObject()->className();
        }
    }
}

} // namespace

// At the sizes the dialog font takes from 96 to 192 dots per inch.
TEST_F(WindowLayout, LabelsStayClearOfTheirFieldsAtEveryFontSize) {
    const QFont font = QApplication::font();
    for (int pixels : {12, 13, 15, 18, 24}) {
        SCOPED_TRACE(std::to_string(pixels) + " px");
        QFont sized = font;
        sized.setPixelSize(pixels);
        QApplication::setFont(sized);
        TempDir folder;
        TempDir::write("omake.txt", "");
        openWindow();
        expectLabelsClear(window().widget());
        for (int close : {int(IDC_ENTRY_CANCEL), int(IDC_OMAKE_EXIT)}) {
            TestSeam::expect([close](ModalWindow& dialog) {
                expectLabelsClear(dialog.widget());
                dialog.press(close);
            });
        }
        CEntryDlg().DoModal();
        COmakeEditDlg().DoModal();
        closeWindow();
    }
    QApplication::setFont(font);
}

TEST_F(WindowLayout, AMessageBoxWidenedForItsCaptionStaysCentredOnItsOwner) {
    openWindow();
    TestSeam::expect([this](ModalWindow& box) {
        EXPECT_GT(box.widget()->width(), box.widget()->sizeHint().width());
        // Qt centres a dialog with room for a window frame it guesses at, up to 10 pixels wide.
        EXPECT_NEAR(box.widget()->geometry().center().x(), window().widget()->geometry().center().x(), 10);
        box.press(IDOK);
    });
    CString caption = CString::fromUtf8("とても長い見出しの付いた短いお知らせの箱です");
    window().MessageBox(CString::fromUtf8("短い"), &caption, MB_OK);
}
