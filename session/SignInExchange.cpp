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
// shows up as a refused or empty reply.
int step(CSocket& socket, std::string_view message, char (&reply)[WireFormat::kReplyCapacity]) {
    socket.Send(message.data(), static_cast<int>(message.size()), 0);
    std::fill(std::begin(reply), std::end(reply), '\0');
    return socket.Receive(reply, sizeof reply, 0);
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
    const std::string_view messages[] = {command, firstField.view(), secondField.view()};
    const Outcome refusals[] = {Outcome::CommandRefused, Outcome::FirstFieldRefused, Outcome::SecondFieldRefused};
    char reply[WireFormat::kReplyCapacity];
    for (std::size_t at = 0; at < std::size(messages); ++at) {
        int count = step(socket, messages[at], reply);
        if (count < 0 && GetLastError() == ETIMEDOUT) {
            socket.replyTimedOut();
            return refusals[at];
        }
        if (at + 1 < std::size(messages)) {
            if (!WireFormat::isAccept(WireFormat::messageText(reply, count))) {
                return refusals[at];
            }
            continue;
        }
        std::optional<std::string_view> chat = WireFormat::chatAfterLastReply(reply, count);
        if (!chat) {
            return refusals[at];
        }
        socket.signInAccepted(*chat);
    }
    return Outcome::Accepted;
}

} // namespace SignInExchange
