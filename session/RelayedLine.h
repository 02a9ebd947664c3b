#pragma once

#include "platform/base/TextLog.h"

#include <string_view>

// A relayed line as the transcript keeps it, and so as the window and a saved file show it.
//
// A line may hold line breaks: the line field is multi-line, and its CR LF pairs travel inside the record. Every
// part after a CR LF, a lone CR or a lone LF goes on a line of its own that starts with the continuation mark, so
// that it can never pass for a line of its own (someone else's name and a colon at its start), and every line end
// is CR LF.
namespace RelayedLine {

// A full-width space (U+3000, CP932 81 40): what a continued line starts with.
inline constexpr std::string_view kContinuationMark = "\x81\x40";

// Appends `text` to `transcript` in that form, with the CR LF that ends it.
void appendTo(TextLog& transcript, std::string_view text);

} // namespace RelayedLine
