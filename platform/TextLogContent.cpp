#include "TextLogContent.h"

#include "platform/base/Cp932Codec.h"

#include <string>
#include <string_view>

TextLogContent::Change TextLogContent::show(const TextLog& log) {
    std::shared_ptr<const TextLog::Bytes> bytes = log.shared();
    Change change;
    change.previousCount = m_lines.count();
    if (bytes != m_bytes || log.size() < m_lines.indexedSize()) {
        m_bytes = std::move(bytes);
        m_lines.clear();
        change.replaced = true;
        change.previousCount = 0;
    }
    m_lines.update(*m_bytes, log.size());
    change.firstChanged = change.previousCount > 2 ? change.previousCount - 3 : 0;
    return change;
}

bool TextLogContent::isEmptyLine(std::size_t line) const {
    return m_lines.start(line) == m_lines.end(*m_bytes, line);
}

QString TextLogContent::lineText(std::size_t line) const {
    std::size_t start = m_lines.start(line);
    std::size_t length = m_lines.end(*m_bytes, line) - start;
    // Converted where it lies; only a line that crosses a chunk border is joined first.
    std::string_view bytes = m_bytes->pieceAt(start).substr(0, length);
    std::string joined;
    if (bytes.size() < length) {
        m_bytes->copy(start, length, joined);
        bytes = joined;
    }
    std::string utf8 = Cp932Codec::toUtf8(bytes);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QString TextLogContent::textBetween(TextLogPosition from, TextLogPosition to) const {
    QString text;
    for (std::size_t line = from.line; line <= to.line; ++line) {
        QString whole = lineText(line);
        int first = line == from.line ? from.column : 0;
        int last = line == to.line ? to.column : static_cast<int>(whole.size());
        text += whole.mid(first, last - first);
        if (line != to.line) {
            text += QLatin1Char('\n');
        }
    }
    return text;
}

QString TextLogContent::wholeText(const TextLogSelection& selection, int* anchor, int* caret) const {
    QString whole;
    for (std::size_t line = 0; line <= lastLine(); ++line) {
        if (line > 0) {
            whole += QLatin1Char('\n');
        }
        if (line == selection.anchor.line) {
            *anchor = static_cast<int>(whole.size()) + selection.anchor.column;
        }
        if (line == selection.caret.line) {
            *caret = static_cast<int>(whole.size()) + selection.caret.column;
        }
        whole += lineText(line);
    }
    return whole;
}
