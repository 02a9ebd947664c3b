#pragma once

#include "platform/CDialog.h"

// The about box. Unlike the program's other dialogs it closes on Escape.
class CAboutDlg : public CDialog {
public:
    CAboutDlg();
};
