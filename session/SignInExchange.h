#pragma once

#include "platform/base/CString.h"

#include <string_view>

class CClientSocket;
class CWnd;

// One run of a sign-in exchange: the command word, then two fields, each answered by one reply read with its own
// blocking receive. The run stops at the first reply that is not "ok"; the last reply may carry the start of the
// chat stream, which the connection keeps for its receive handler. A reply that does not come in time refuses its
// step and closes the connection.
namespace SignInExchange {

enum class Outcome { Accepted, CommandRefused, FirstFieldRefused, SecondFieldRefused };

// The main window's connection for a run; when the server has closed it, says so in a box owned by `dialog` and
// gives nullptr, so that nothing is written.
CClientSocket* connectionFor(CWnd& dialog);

Outcome run(CClientSocket& socket, std::string_view command, const CString& firstField, const CString& secondField);

} // namespace SignInExchange
