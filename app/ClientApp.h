#pragma once

#include "platform/CWinApp.h"

// Starts the socket layer and runs the main chat window; the program ends when that window's run ends.
class CClientApp : public CWinApp {
public:
    CClientApp();
    bool InitInstance() override;
};
