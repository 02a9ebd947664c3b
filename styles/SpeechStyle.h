#pragma once

#include "platform/base/CString.h"
#include "styles/UserRuleTable.h"

// The speech styles that rewrite an outgoing line. Each conversion is an ordered list of replacement steps; the
// input and output may be the same string.
void ConvertJayo(const CString& input, CString& output);
void ConvertNiigata(const CString& input, CString& output);
void ConvertDearimasu(const CString& input, CString& output);
void ConvertUserRules(const UserRuleTable& rules, const CString& input, CString& output);
