#include "RelayedLine.h"

namespace RelayedLine {

void appendTo(TextLog& transcript, std::string_view text) {
    for (std::size_t lineEnd; (lineEnd = text.find_first_of("\r\n")) != std::string_view::npos;) {
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
