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

    // The bytes that followed the last "ok" of a sign-in in the same read: the first of the chat stream, shown once
    // the sign-in has taken effect.
    void keepChatStart(std::string_view bytes) { m_chatStart.assign(bytes); }

    // Which sign-in the server's greeting opens. The flag keeps the numbers it has always stored.
    enum Flow : int {
        kRegistrationFlow = 0,   // no stored credentials: the greeting opens the registration dialog
        kAuthenticationFlow = 1, // the greeting opens the authentication dialog; once signed in, every block is chat
    };

    Flow m_flow = kRegistrationFlow;
    // The main window's received-text control; not owned.
    CWnd* m_pWnd;

private:
    void readChat(SessionHost& host);
    // Framed lines go straight into the transcript, in the form it keeps them, to be shown together by showChat().
    static RelayFramer::LineSink lineAdder(TextLog& transcript);
    // Shows what the transcript gained past `shownSize`; asks for a quiet notification while text is held.
    void showChat(SessionHost& host, std::size_t shownSize);

    RelayFramer m_framer;
    std::string m_chatStart;
};
