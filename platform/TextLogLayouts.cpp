#include "TextLogLayouts.h"

#include <QTextLayout>

#include <cmath>

namespace {

constexpr std::size_t kCachedLayouts = 256;

} // namespace

TextLogLayouts::TextLogLayouts(const TextLogContent& content) : m_content(content) {}

TextLogLayouts::~TextLogLayouts() = default;

void TextLogLayouts::setFormat(Format format) {
    m_format = std::move(format);
    clear();
}

const QTextLayout& TextLogLayouts::layout(std::size_t line) const {
    auto found = m_layouts.find(line);
    if (found != m_layouts.end()) {
        m_order.splice(m_order.begin(), m_order, found->second.second);
        return *found->second.first;
    }
    // As QPlainTextDocumentLayout lays out a block: the document's font and options, its margin on both sides.
    auto layout = std::make_unique<QTextLayout>(m_content.lineText(line), m_format.font, m_format.device);
    layout->setCacheEnabled(true);
    layout->setTextOption(m_format.option);
    qreal margin = m_format.margin;
    qreal width = m_format.width - 2 * margin;
    qreal height = 0;
    layout->beginLayout();
    for (QTextLine text = layout->createLine(); text.isValid(); text = layout->createLine()) {
        text.setLeadingIncluded(true);
        text.setLineWidth(width);
        text.setPosition(QPointF(margin, height));
        height += text.height();
        if (text.leading() < 0) {
            height += std::ceil(text.leading());
        }
    }
    layout->endLayout();
    if (m_layouts.size() >= kCachedLayouts) {
        forgetLayout(m_order.back());
    }
    m_order.push_front(line);
    const QTextLayout& result = *layout;
    m_layouts.emplace(line, std::make_pair(std::move(layout), m_order.begin()));
    return result;
}

int TextLogLayouts::length(std::size_t line) const {
    if (auto found = m_layouts.find(line); found != m_layouts.end()) {
        return static_cast<int>(found->second.first->text().size());
    }
    return m_content.isEmptyLine(line) ? 0 : static_cast<int>(m_content.lineText(line).size());
}

qreal TextLogLayouts::height(std::size_t line) const {
    qreal height = layout(line).boundingRect().bottom();
    return line == m_content.lastLine() ? height + m_format.margin : height;
}

TextLogPosition TextLogLayouts::textEnd() const {
    std::size_t last = m_content.lastLine();
    return {last, length(last)};
}

void TextLogLayouts::forget(const TextLogContent::Change& change) {
    if (change.replaced) {
        clear();
    }
    for (std::size_t line = change.firstChanged; line < change.previousCount; ++line) {
        forgetLayout(line);
    }
}

void TextLogLayouts::forgetLayout(std::size_t line) const {
    if (auto found = m_layouts.find(line); found != m_layouts.end()) {
        m_order.erase(found->second.second);
        m_layouts.erase(found);
    }
}

void TextLogLayouts::clear() {
    m_layouts.clear();
    m_order.clear();
}
