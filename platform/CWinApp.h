#pragma once

#include "platform/CWnd.h"
#include "platform/base/CString.h"

// The application object: exactly one exists while the program runs.
class CWinApp {
public:
    explicit CWinApp(const char* appName);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Runs once at start-up; the program ends when it returns false.
    virtual bool InitInstance() { return false; }
    virtual int ExitInstance() { return m_exitCode; }

    const CString& appName() const { return m_appName; }
    bool quitRequested() const { return m_quitRequested; }
    void requestQuit(int code);
    void resetQuitRequest() { m_quitRequested = false; }

    CWnd* m_pMainWnd = nullptr;

private:
    CString m_appName;
    bool m_quitRequested = false;
    int m_exitCode = 0;
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();

// The application-wide message box: the application's name as caption and a warning icon.
int AfxMessageBox(const CString& text, unsigned style = MB_OK);
int AfxMessageBox(int stringId, unsigned style = MB_OK);

// Ends the main window's modal run, and with it the program.
void AfxPostQuitMessage(int exitCode);

// Starts the socket layer; false when no socket can be created.
bool AfxSocketInit();

// Creates the window system's application, sets the program's font, Japanese texts and key handling, runs the
// application object's start-up and returns the exit code.
int AfxWinMain(int argc, char** argv);

// The window-system set-up of AfxWinMain, for programs (tests) that create their own application object.
void platformInitialize();

// Called once the program's own work is done, just before the window system is taken down. Qt 6.4's Wayland client
// now and then deadlocks in that teardown (one of its event threads waits for a read that never comes): on Wayland,
// the process then ends with `exitCode` after a few seconds instead of staying behind without a window.
void guardWindowSystemShutdown(int exitCode);

// The name of the font the dialogs use.
const char* dialogFontFamily();
