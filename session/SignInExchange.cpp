#include "SignInExchange.h"

#include "platform/CAsyncSocket.h"
#include "platform/CWnd.h"
#include "session/SessionHost.h"
#include "session/SessionTexts.h"
#include "session/WireFormat.h"

namespace SignInExchange {
namespace {

// Writes one message and reads its reply. A failed write shows up as a refused or empty reply.
bool step(CSocket& socket, std::string_view message) {
    socket.Send(message.data(), static_cast<int>(message.size()), 0);
    char reply[WireFormat::kReplyCapacity] = {};
    int count = socket.Receive(reply, sizeof reply, 0);
    return WireFormat::isAccept(WireFormat::messageText(reply, count));
}

} // namespace

CClientSocket* connectionFor(CWnd& dialog) {
    SessionHost* host = SessionHost::find();
    CClientSocket* socket = host ? host->connection() : nullptr;
    if (!socket) {
        dialog.MessageBox(SJIS(SessionTexts::kNotConnected), SJIS(SessionTexts::kConnectErrorCaption));
    }
    return socket;
}

Outcome run(CSocket& socket, std::string_view command, const CString& firstField, const CString& secondField) {
    if (!step(socket, command)) {
        return Outcome::CommandRefused;
    }
    if (!step(socket, firstField.view())) {
        return Outcome::FirstFieldRefused;
    }
    if (!step(socket, secondField.view())) {
        return Outcome::SecondFieldRefused;
    }
    return Outcome::Accepted;
}

} // namespace SignInExchange
