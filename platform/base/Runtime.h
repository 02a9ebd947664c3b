#pragma once

#include "platform/base/CString.h"

// The C runtime's string-to-integer conversion: optional leading white space and sign, then decimal digits; text
// without leading digits gives 0, and a value out of range is clamped.
int StrToInt(const CString& text);
