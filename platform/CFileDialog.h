#pragma once

#include "platform/base/CString.h"

class CWnd;

constexpr unsigned OFN_OVERWRITEPROMPT = 0x2;
constexpr unsigned OFN_HIDEREADONLY = 0x4;

// The stock file dialog. The filter is "description|pattern|description|pattern|"; in save mode
// OFN_OVERWRITEPROMPT asks before an existing file is replaced. The process's current folder never changes.
class CFileDialog {
public:
    CFileDialog(bool openMode, const CString& defaultExtension, const CString& fileName, unsigned flags,
                const CString& filter, CWnd* owner);

    // 1 when the user confirmed a file, 2 when cancelled.
    int DoModal();
    // The chosen file with and without its folder.
    CString GetPathName() const { return m_pathName; }
    CString GetFileName() const;

private:
    bool m_openMode;
    CString m_defaultExtension;
    CString m_fileName;
    unsigned m_flags;
    CString m_filter;
    CWnd* m_owner;
    CString m_pathName;
};
