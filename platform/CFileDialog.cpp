#include "CFileDialog.h"

#include "platform/CWnd.h"
#include "platform/QtBridge.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QStringList>

CFileDialog::CFileDialog(bool openMode, const CString& defaultExtension, const CString& fileName, unsigned flags,
                         const CString& filter, CWnd* owner)
    : m_openMode(openMode), m_defaultExtension(defaultExtension), m_fileName(fileName), m_flags(flags),
      m_filter(filter), m_owner(owner) {}

CString CFileDialog::GetFileName() const {
    int slash = -1;
    for (int i = 0; i < m_pathName.GetLength(); ++i) {
        if (m_pathName[static_cast<std::size_t>(i)] == '/') {
            slash = i;
        }
    }
    return CString(m_pathName.view().substr(static_cast<std::size_t>(slash + 1)));
}

int CFileDialog::DoModal() {
    // Qt's own dialog, so that it speaks the program's language and answers the same test seam as every box.
    QFileDialog dialog(m_owner ? m_owner->widget() : nullptr);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(m_openMode ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    dialog.setFileMode(m_openMode ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !(m_flags & OFN_OVERWRITEPROMPT));
    dialog.setOption(QFileDialog::ReadOnly, false);
    dialog.setDirectory(QDir::current());
    QStringList filters;
    QString filter = QtBridge::toQt(m_filter);
    QStringList parts = filter.split(QLatin1Char('|'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        // "description|pattern": the description already names the pattern, as Qt's filters expect.
        filters << parts[i];
    }
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
        // Qt simplifies the white space of the descriptions it shows; the program's own text has an ideographic
        // space and a leading space that belong to it. Filtering still uses Qt's list, entry by entry.
        if (auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))) {
            for (int i = 0; i < combo->count() && i < filters.size(); ++i) {
                combo->setItemText(i, filters[i]);
            }
        }
    }
    dialog.selectFile(QtBridge::toQt(m_fileName));
    dialog.setModal(true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return 2;
    }
    m_pathName = QtBridge::fromQt(dialog.selectedFiles().first());
    return 1;
}
