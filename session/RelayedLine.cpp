#include "RelayedLine.h"

#include <algorithm>

namespace RelayedLine {

void appendTo(TextLog& transcript, std::string_view text) {
    while (true) {
        // Two scans for one byte each beat one scan for either: almost no line has a break.
        std::size_t lineEnd = std::min(text.find('\r'), text.find('\n'));
        if (lineEnd == std::string_view::npos) {
            break;
        }
        transcript.append(text.substr(0, lineEnd));
        transcript.append("\r\n");
        transcript.append(kContinuationMark);
        bool pair = text[lineEnd] == '\r' && lineEnd + 1 < text.size() && text[lineEnd + 1] == '\n';
        text.remove_prefix(lineEnd + (pair ? 2 : 1));
    }
    transcript.append(text);
    transcript.append("\r\n");
}

} // namespace RelayedLine
