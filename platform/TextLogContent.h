#pragma once

#include "platform/TextLogPosition.h"
#include "platform/base/TextLog.h"
#include "platform/base/TextLogLines.h"

#include <QString>

#include <cstddef>
#include <memory>

// The lines of a TextLog as a multi-line edit shows them, converted one at a time when asked for. The log's bytes
// are shared, never copied.
class TextLogContent {
public:
    // What show() changed: lines from `firstChanged` on may read differently now (the last one grows; CRs at the end
    // may join a new LF). `replaced` means another log, or a shorter one, took the place of the one shown before.
    struct Change {
        bool replaced = false;
        std::size_t firstChanged = 0;
        std::size_t previousCount = 0;
    };

    // Shows the log as it is now; lines indexed before are kept while the log only grew.
    Change show(const TextLog& log);

    // Valid once a log is shown: an empty text is one empty line.
    std::size_t lastLine() const { return m_lines.count() - 1; }
    bool isEmptyLine(std::size_t line) const;
    // The line's text without its line end, invalid bytes as U+FFFD.
    QString lineText(std::size_t line) const;
    // The text from `from` to `to`, lines joined by LF.
    QString textBetween(TextLogPosition from, TextLogPosition to) const;
    // The whole text, and where the selection's anchor and caret fall in it.
    QString wholeText(const TextLogSelection& selection, int* anchor, int* caret) const;

private:
    std::shared_ptr<const TextLog::Bytes> m_bytes;
    TextLogLines m_lines;
};
