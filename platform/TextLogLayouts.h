#pragma once

#include "platform/TextLogContent.h"
#include "platform/TextLogPosition.h"

#include <QFont>
#include <QTextOption>

#include <cstddef>
#include <list>
#include <memory>
#include <unordered_map>

class QPaintDevice;
class QTextLayout;

// The shown lines laid out as QPlainTextEdit lays out its blocks, for the lines that are asked for: the most
// recently used 256 are kept, so a view over any number of lines lays out only what it shows.
class TextLogLayouts {
public:
    // What a line is laid out with: the editor's font, text options and document margin, the width of its viewport
    // (before the margins) and the device the text is drawn on (none: the screen's).
    struct Format {
        QFont font;
        QTextOption option;
        qreal margin = 0;
        qreal width = 0;
        QPaintDevice* device = nullptr;
    };

    explicit TextLogLayouts(const TextLogContent& content);
    ~TextLogLayouts();

    const TextLogContent& content() const { return m_content; }
    const Format& format() const { return m_format; }
    // Lays lines out with `format` from now on, forgetting every layout made before.
    void setFormat(Format format);

    const QTextLayout& layout(std::size_t line) const;
    // The line's length in UTF-16 units: from its layout when there is one, else converted but not laid out.
    int length(std::size_t line) const;
    // The line's height in the view; the last line has the document margin below it.
    qreal height(std::size_t line) const;
    // After the last character of the text.
    TextLogPosition textEnd() const;

    // Drops the layouts of the lines that changed, or all of them.
    void forget(const TextLogContent::Change& change);
    void clear();

private:
    void forgetLayout(std::size_t line) const;

    const TextLogContent& m_content;
    Format m_format;
    mutable std::unordered_map<std::size_t, std::pair<std::unique_ptr<QTextLayout>, std::list<std::size_t>::iterator>>
        m_layouts;
    // Most recently used first.
    mutable std::list<std::size_t> m_order;
};
