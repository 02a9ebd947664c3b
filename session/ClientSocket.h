#pragma once

#include "platform/CAsyncSocket.h"
#include "platform/CWnd.h"

// The connection to the chat server. Its read notification moves the session forward (greeting, sign-in, chat
// lines); its close notification reports the server's close and destroys the object.
class CClientSocket : public CSocket {
public:
    explicit CClientSocket(CWnd* receivedText);
    ~CClientSocket() override;

    void OnReceive(int errorCode) override;
    void OnClose(int errorCode) override;

    // 0: the greeting opens the registration dialog; 1: it opens the authentication dialog, and once signed in
    // every block is a chat line.
    int m_flow = 0;
    // The main window's received-text control; not owned.
    CWnd* m_pWnd;
};
