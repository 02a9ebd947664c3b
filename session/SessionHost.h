#pragma once

#include "platform/base/CString.h"
#include "platform/base/TextLog.h"

class CClientSocket;
class CDialog;

// The main window as the connection object, the receive handler and the sign-in dialogs see it. They find it
// through the framework whenever they need it and keep no pointer to it.
class SessionHost {
public:
    // The main window, or nullptr when there is none (or it is not a session host).
    static SessionHost* find();

    // Whether a sign-in has taken effect on the connection held; the window's flag stores these numbers.
    enum SignInState : int { kNotSignedIn = 0, kSignedIn = 1 };

    virtual CDialog& window() = 0;
    virtual SignInState signedIn() const = 0;
    virtual void setSignedIn(SignInState signedIn) = 0;
    virtual const CString& userName() const = 0;
    virtual CClientSocket* connection() const = 0;
    // Lets go of `socket` if it is the connection held; the caller destroys it.
    virtual void forgetConnection(CClientSocket* socket) = 0;
    virtual TextLog& transcript() = 0;

protected:
    ~SessionHost() = default;
};
