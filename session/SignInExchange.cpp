#include "SignInExchange.h"

#include "platform/CAsyncSocket.h"
#include "platform/CWnd.h"
#include "session/ClientSocket.h"
#include "session/SessionHost.h"
#include "session/SessionTexts.h"
#include "session/WireFormat.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <optional>

namespace SignInExchange {
namespace {

// Writes one message and reads its reply into `reply` (zero-filled first); returns the count read. A failed write
// shows up as a refused or empty reply. A reply that does not come in time closes the connection and gives nothing.
std::optional<int> step(CClientSocket& socket, std::string_view message, char (&reply)[WireFormat::kReplyCapacity]) {
    socket.Send(message.data(), static_cast<int>(message.size()), 0);
    std::fill(std::begin(reply), std::end(reply), '\0');
    int count = socket.Receive(reply, sizeof reply, 0);
    if (count < 0 && GetLastError() == ETIMEDOUT) {
        socket.replyTimedOut();
        return std::nullopt;
    }
    return count;
}

bool accepted(const char (&reply)[WireFormat::kReplyCapacity], std::optional<int> count) {
    return count && WireFormat::isAccept(WireFormat::messageText(reply, *count));
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

Outcome run(CClientSocket& socket, std::string_view command, const CString& firstField, const CString& secondField) {
    char reply[WireFormat::kReplyCapacity];
    if (!accepted(reply, step(socket, command, reply))) {
        return Outcome::CommandRefused;
    }
    if (!accepted(reply, step(socket, firstField.view(), reply))) {
        return Outcome::FirstFieldRefused;
    }
    std::optional<int> count = step(socket, secondField.view(), reply);
    std::optional<std::string_view> chat = count ? WireFormat::chatAfterLastReply(reply, *count) : std::nullopt;
    if (!chat) {
        return Outcome::SecondFieldRefused;
    }
    socket.signInAccepted(*chat);
    return Outcome::Accepted;
}

} // namespace SignInExchange
