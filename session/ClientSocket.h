#pragma once

#include "platform/CAsyncSocket.h"
#include "platform/CWnd.h"
#include "session/RelayFramer.h"

#include <string_view>

class SessionHost;

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

    // 0: the greeting opens the registration dialog; 1: it opens the authentication dialog, and once signed in
    // every block is a chat line.
    int m_flow = 0;
    // The main window's received-text control; not owned.
    CWnd* m_pWnd;

private:
    void readChat(SessionHost& host);
    // Framed lines go into `lines`, each with its CR LF, to be shown together.
    static RelayFramer::LineSink lineAdder(CString& lines);
    // Appends the lines to the transcript and shows them; asks for a quiet notification while text is held.
    void showChat(SessionHost& host, const CString& lines);

    RelayFramer m_framer;
    std::string m_chatStart;
};
