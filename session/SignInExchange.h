#pragma once

#include "platform/CString.h"

#include <string_view>

class CSocket;

// One run of a sign-in exchange: the command word, then two fields, each answered by one reply read with its own
// blocking receive. The run stops at the first reply that is not "ok".
namespace SignInExchange {

enum class Outcome { Accepted, CommandRefused, FirstFieldRefused, SecondFieldRefused };

Outcome run(CSocket& socket, std::string_view command, const CString& firstField, const CString& secondField);

} // namespace SignInExchange
