#pragma once

#include "platform/base/CString.h"
#include "styles/UserRuleTable.h"

namespace SpeechStyle {
// The style the main window's radio buttons choose. The window stores these numbers, 1 at start.
enum Choice : int {
    kNone = 1, // lines go out as typed
    kJayo = 2,
    kNiigata = 3,
    kDearimasu = 4,
    kUserRules = 5, // the user's own rules, omake.txt
};
} // namespace SpeechStyle

// The speech styles that rewrite an outgoing line. Each conversion is an ordered list of replacement steps; the
// input and output may be the same string.
void ConvertJayo(const CString& input, CString& output);
void ConvertNiigata(const CString& input, CString& output);
void ConvertDearimasu(const CString& input, CString& output);
void ConvertUserRules(const UserRuleTable& rules, const CString& input, CString& output);
