#include "SessionHost.h"

#include "platform/CWinApp.h"

SessionHost* SessionHost::find() {
    return dynamic_cast<SessionHost*>(AfxGetMainWnd());
}
