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

    // What a registration dialog starts with.
    struct RegistrationStart {
        CString userId;
        CString password;
    };

    // Owns the session's boxes; its title shows the session's state.
    virtual CDialog& window() = 0;
    virtual SignInState signedIn() const = 0;
    // A sign-in took effect: the window counts as signed in, says so in its title, shows `userId` in its name field
    // and makes Send its default button.
    virtual void showSignedIn(const CString& userId) = 0;
    // The server closed the connection: the window no longer counts as signed in, keeps the user name (and no
    // password) for a later registration, says so in a box, then in its title.
    virtual void showServerClosed() = 0;
    // Empty until a server close; then the user name and an empty password.
    virtual RegistrationStart registrationStart() const = 0;
    virtual const CString& userName() const = 0;
    virtual CClientSocket* connection() const = 0;
    // Lets go of `socket` if it is the connection held; the caller destroys it.
    virtual void forgetConnection(CClientSocket* socket) = 0;
    virtual TextLog& transcript() = 0;

protected:
    ~SessionHost() = default;
};
