#pragma once

#include "platform/CAsyncSocket.h"
#include "platform/CWnd.h"
#include "session/RelayFramer.h"

#include <string_view>

class SessionHost;
class TextLog;

// The connection to the chat server. Its read notification moves the session forward (greeting, sign-in, chat
// lines); its close notification reports the server's close and destroys the object.
class CClientSocket : public CSocket {
public:
    explicit CClientSocket(CWnd* receivedText);
    ~CClientSocket() override;

    void OnReceive(int errorCode) override;
    void OnClose(int errorCode) override;
    void OnQuiet() override;

    // The server accepted the last step of a sign-in run. `chatStart` is what followed its "ok" in the same read:
    // the first of the chat stream, shown once the sign-in has taken effect.
    void signInAccepted(std::string_view chatStart);
    // A sign-in reply did not come in time. The connection is closed, so that a late "ok" cannot leave the server
    // counting the user as signed in while the client does not; the window lets go of it.
    void replyTimedOut();
    // Hands what the framer holds to the transcript as lines, as the end of the stream would (before Disconnect).
    void takeHeldLines();

    // Which sign-in the server's greeting opens. The flag keeps the numbers it has always stored.
    enum Flow : int {
        kRegistrationFlow = 0,   // no stored credentials: the greeting opens the registration dialog
        kAuthenticationFlow = 1, // the greeting opens the authentication dialog; once signed in, every block is chat
    };

    Flow m_flow = kRegistrationFlow;
    // The main window's received-text control; not owned.
    CWnd* m_pWnd;

private:
    // Runs the sign-in dialog of the flow; false when it was cancelled.
    bool signIn(SessionHost& host);
    // After a cancelled sign-in the connection stays open for another greeting, unless the server has signed the
    // user in or greeted again meanwhile.
    void afterCancelledSignIn(SessionHost& host);
    // Ends the connection from this side; the window lets go of it, and the object goes once the notification
    // running now returns.
    void closeHere(SessionHost& host);
    // Signed in through the authentication flow, as `host` shows: every block the server sends is chat.
    bool chatting(const SessionHost* host) const;
    // Reads what the socket holds, a buffer at a time, handing each read to `take`; it stops at a bound per
    // notification, so that a flood still lets the window repaint. Unless `toTheEnd`, a read that leaves room in the
    // buffer ends it too, sparing the read that would most likely find nothing.
    template <typename Take> void drain(Take&& take, bool toTheEnd);
    void readChat(SessionHost& host);
    // Shows what the transcript gained past `shownSize`; asks for a quiet notification while text is held.
    void showChat(SessionHost& host, std::size_t shownSize);

    RelayFramer m_framer;
    std::string m_chatStart;
    // A greeting's sign-in (its dialog, its exchanges, its cancelled box) is running.
    bool m_signingIn = false;
    bool m_serverAccepted = false;
};
