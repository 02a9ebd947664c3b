#include "TextLogView.h"

#include "platform/Cp932Codec.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QDrag>
#include <QGuiApplication>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleHints>
#include <QTextBlock>
#include <QTextBoundaryFinder>
#include <QTextCursor>
#include <QTextDocumentFragment>
#include <QTextDocumentWriter>
#include <QTextLayout>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

constexpr std::size_t kCachedLayouts = 256;
constexpr std::size_t kCharBlock = 256;
constexpr int kFrameMs = 16;

// What a copy or drag of shown text offers, as the editor offers it: plain text, and HTML and ODF made only when a
// receiver asks for them.
class ShownTextMime : public QMimeData {
public:
    ShownTextMime(QString text, QFont font) : m_text(std::move(text)), m_font(std::move(font)) {}
    QStringList formats() const override {
        return {QStringLiteral("text/plain"), QStringLiteral("text/html"),
                QStringLiteral("application/vnd.oasis.opendocument.text")};
    }
    bool hasFormat(const QString& mimeType) const override { return formats().contains(mimeType); }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override {
        if (mimeType == QLatin1String("text/plain")) {
            return m_text;
        }
        QTextDocument document;
        document.setDefaultFont(m_font);
        document.setPlainText(m_text);
        if (mimeType == QLatin1String("text/html")) {
            return QTextDocumentFragment(&document).toHtml().toUtf8();
        }
        if (mimeType == QLatin1String("application/vnd.oasis.opendocument.text")) {
            QBuffer buffer;
            QTextDocumentWriter writer(&buffer, "ODF");
            writer.write(&document);
            return buffer.data();
        }
        return QMimeData::retrieveData(mimeType, type);
    }

private:
    QString m_text;
    QFont m_font;
};

// Screen readers read the control through this in both of its modes.
class TextLogAccessible : public QAccessibleWidget,
                          public QAccessibleTextInterface,
                          public QAccessibleEditableTextInterface {
public:
    explicit TextLogAccessible(TextLogView* view) : QAccessibleWidget(view, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface) {
            return static_cast<QAccessibleTextInterface*>(this);
        }
        if (type == QAccessible::EditableTextInterface) {
            return static_cast<QAccessibleEditableTextInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(type);
    }
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.multiLine = true;
        state.selectableText = true;
        state.editable = !view()->isReadOnly();
        state.readOnly = view()->isReadOnly();
        return state;
    }
    QString text(QAccessible::Text type) const override {
        return type == QAccessible::Value ? view()->textRange(0, view()->characterCount())
                                          : QAccessibleWidget::text(type);
    }

    void selection(int index, int* start, int* end) const override {
        *start = *end = 0;
        if (index == 0) {
            view()->selectionOffsets(start, end);
        }
    }
    int selectionCount() const override {
        int start = 0;
        int end = 0;
        view()->selectionOffsets(&start, &end);
        return start == end ? 0 : 1;
    }
    void addSelection(int start, int end) override { view()->select(start, end); }
    void removeSelection(int) override { view()->select(-1, -1); }
    void setSelection(int, int start, int end) override { view()->select(start, end); }
    int cursorPosition() const override { return view()->caretOffset(); }
    void setCursorPosition(int position) override { view()->select(position, position); }
    QString text(int start, int end) const override { return view()->textRange(start, end); }
    int characterCount() const override { return view()->characterCount(); }
    QRect characterRect(int offset) const override {
        QRect rect = view()->characterRect(offset);
        return rect.translated(view()->viewport()->mapToGlobal(QPoint(0, 0)));
    }
    int offsetAtPoint(const QPoint& point) const override {
        return view()->offsetAtPoint(view()->viewport()->mapFromGlobal(point));
    }
    void scrollToSubstring(int start, int) override { view()->scrollToOffset(start); }
    QString attributes(int offset, int* start, int* end) const override {
        *start = *end = offset;
        return {};
    }

    void deleteText(int start, int end) override { replaceText(start, end, QString()); }
    void insertText(int offset, const QString& text) override { replaceText(offset, offset, text); }
    void replaceText(int start, int end, const QString& text) override {
        TextLogView* edit = view();
        edit->beginEditing();
        QTextCursor cursor(edit->document());
        cursor.setPosition(start);
        cursor.setPosition(end, QTextCursor::KeepAnchor);
        cursor.insertText(text);
    }

private:
    TextLogView* view() const { return static_cast<TextLogView*>(widget()); }
};

QAccessibleInterface* accessibleFactory(const QString& className, QObject* object) {
    // The view has no meta-object of its own, so Qt asks under QPlainTextEdit's name.
    if (className == QLatin1String("QPlainTextEdit")) {
        if (auto* view = dynamic_cast<TextLogView*>(object)) {
            return new TextLogAccessible(view);
        }
    }
    return nullptr;
}

} // namespace

TextLogView::TextLogView(QWidget* parent) : QPlainTextEdit(parent) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(accessibleFactory);
        return true;
    }();
    (void)factoryInstalled;
    // Whatever changes the editor's text through QPlainTextEdit's own functions makes it the ordinary editor.
    connect(document(), &QTextDocument::contentsChange, this, [this] {
        if (m_light && !m_ownChange) {
            leaveLight(false);
        }
    });
}

TextLogView::~TextLogView() {
    // The editor's document outlives this part of the object.
    QObject::disconnect(document(), nullptr, this, nullptr);
}

void TextLogView::showLog(const TextLog& log) {
    std::shared_ptr<const TextLog::Bytes> bytes = log.shared();
    std::size_t oldCount = m_lines.count();
    if (bytes != m_bytes || log.size() < m_lines.indexedSize()) {
        m_bytes = std::move(bytes);
        m_lines.clear();
        m_charBases.clear();
        forgetLayouts();
        oldCount = 0;
    }
    m_lines.update(*m_bytes, log.size());
    // The last lines may have changed (the last one grows; CRs at the end may join a new LF); the rest stays.
    std::size_t firstChanged = oldCount > 2 ? oldCount - 3 : 0;
    for (std::size_t line = firstChanged; line < oldCount; ++line) {
        forgetLayout(line);
    }
    m_charBases.resize(std::min(m_charBases.size(), firstChanged / kCharBlock + 1));
    if (!m_light) {
        enterLight();
    }
    // Column 0 needs no clamping: after moveToEnd() the caret is at the start of the line that has just been filled,
    // and measuring that line would convert it once for the anchor and again for the caret.
    auto clampPosition = [this](Position& position) {
        position.line = std::min(position.line, lastLine());
        if (position.column > 0) {
            position.column = std::min(position.column, lineLength(position.line));
        }
    };
    clampPosition(m_anchor);
    clampPosition(m_caret);
    changed(false);
    notifyAccessibility(firstChanged);
}

void TextLogView::stopShowingLog() {
    leaveLight(true);
}

void TextLogView::enterLight() {
    m_ownChange = true;
    clear();
    m_ownChange = false;
    m_light = true;
    // The editor pages by its own blocks on a scroll-bar click; the light view pages by its lines instead.
    m_pagingDetached = QObject::disconnect(verticalScrollBar(), SIGNAL(actionTriggered(int)), this,
                                           SLOT(_q_verticalScrollbarActionTriggered(int)));
    m_anchor = m_caret = {};
    m_top = {};
    m_desiredX = -1;
    forgetLayouts();
    m_layoutWidth = viewport()->width();
    if (hasFocus()) {
        resetBlink();
    }
}

void TextLogView::leaveLight(bool relayoutNow) {
    if (!m_light) {
        return;
    }
    m_light = false;
    if (m_pagingDetached) {
        QObject::connect(verticalScrollBar(), SIGNAL(actionTriggered(int)), this,
                         SLOT(_q_verticalScrollbarActionTriggered(int)));
        m_pagingDetached = false;
    }
    m_frameTimer.stop();
    m_blinkTimer.stop();
    m_scrollTimer.stop();
    forgetLayouts();
    // The editor lays its text out for the width it has now, and sets its scroll bar from it; not in the middle of a
    // change of its document.
    if (relayoutNow) {
        QResizeEvent resize(size(), QSize(-1, -1));
        QPlainTextEdit::resizeEvent(&resize);
    } else {
        QCoreApplication::postEvent(this, new QResizeEvent(size(), QSize(-1, -1)));
    }
    viewport()->update();
}

void TextLogView::beginEditing() {
    if (!m_light) {
        return;
    }
    settle();
    QString whole;
    int anchor = 0;
    int caret = 0;
    for (std::size_t line = 0; line <= lastLine(); ++line) {
        if (line > 0) {
            whole += QLatin1Char('\n');
        }
        if (line == m_anchor.line) {
            anchor = static_cast<int>(whole.size()) + m_anchor.column;
        }
        if (line == m_caret.line) {
            caret = static_cast<int>(whole.size()) + m_caret.column;
        }
        whole += lineText(line);
    }
    Top top = m_top;
    leaveLight(true);
    m_ownChange = true;
    setPlainText(whole);
    m_ownChange = false;
    QTextCursor cursor(document());
    cursor.setPosition(anchor);
    cursor.setPosition(caret, QTextCursor::KeepAnchor);
    setTextCursor(cursor);
    verticalScrollBar()->setValue(document()->findBlockByNumber(static_cast<int>(top.line)).firstLineNumber() +
                                  top.subLine);
}

QString TextLogView::lineText(std::size_t line) const {
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

int TextLogView::lineLength(std::size_t line) const {
    if (auto found = m_layouts.find(line); found != m_layouts.end()) {
        return static_cast<int>(found->second.first->text().size());
    }
    return m_lines.start(line) == m_lines.end(*m_bytes, line) ? 0 : static_cast<int>(lineText(line).size());
}

QTextLayout& TextLogView::layoutOf(std::size_t line) const {
    auto found = m_layouts.find(line);
    if (found != m_layouts.end()) {
        m_layoutOrder.splice(m_layoutOrder.begin(), m_layoutOrder, found->second.second);
        return *found->second.first;
    }
    // As QPlainTextDocumentLayout lays out a block: the document's font and options, its margin on both sides.
    auto layout = std::make_unique<QTextLayout>(lineText(line), document()->defaultFont(), viewport());
    layout->setCacheEnabled(true);
    layout->setTextOption(document()->defaultTextOption());
    qreal margin = document()->documentMargin();
    qreal width = lineWrapMode() == NoWrap ? qreal(INT_MAX) : qreal(viewport()->width());
    width -= 2 * margin;
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
        forgetLayout(m_layoutOrder.back());
    }
    m_layoutOrder.push_front(line);
    QTextLayout& result = *layout;
    m_layouts.emplace(line, std::make_pair(std::move(layout), m_layoutOrder.begin()));
    return result;
}

void TextLogView::forgetLayout(std::size_t line) const {
    if (auto found = m_layouts.find(line); found != m_layouts.end()) {
        m_layoutOrder.erase(found->second.second);
        m_layouts.erase(found);
    }
}

void TextLogView::forgetLayouts() {
    m_layouts.clear();
    m_layoutOrder.clear();
}

qreal TextLogView::lineHeight(std::size_t line) const {
    qreal height = layoutOf(line).boundingRect().bottom();
    return line == lastLine() ? height + document()->documentMargin() : height;
}

qreal TextLogView::topY() const {
    if (m_top.line == 0 && m_top.subLine == 0) {
        return document()->documentMargin();
    }
    return m_top.subLine == 0 ? 0 : -layoutOf(m_top.line).lineAt(m_top.subLine - 1).naturalTextRect().bottom();
}

void TextLogView::changed(bool ensureCaretVisible) {
    m_dirty = true;
    m_caretWanted = m_caretWanted || ensureCaretVisible;
    // A flood of lines is drawn once a frame, not once a line: lines that pass unseen are never laid out.
    if (!m_frameTimer.isActive()) {
        m_frameTimer.start(kFrameMs, this);
    }
}

void TextLogView::settle() const {
    if (m_dirty) {
        relayout();
    }
}

void TextLogView::relayout() const {
    if (!m_light) {
        return;
    }
    m_dirty = false;
    if (m_caretWanted) {
        m_caretWanted = false;
        ensureVisible(m_caret);
    }
    m_endTop = endTop();
    m_top = std::min(m_top, m_endTop);
    applyScrollBar();
}

void TextLogView::applyScrollBar() const {
    QScrollBar* bar = verticalScrollBar();
    m_applyingScrollBar = true;
    int last = static_cast<int>(std::min<std::size_t>(m_endTop.line, INT_MAX));
    bar->setRange(0, last);
    bar->setPageStep(static_cast<int>(std::clamp<std::size_t>(lastLine() - m_endTop.line, 1, INT_MAX)));
    bar->setSingleStep(1);
    bar->setValue(static_cast<int>(std::min<std::size_t>(m_top.line, INT_MAX)));
    m_applyingScrollBar = false;
}

TextLogView::Top TextLogView::endTop() const {
    const QTextLayout& last = layoutOf(lastLine());
    return topShowingBottomOf(lastLine(), last.lineCount() - 1);
}

TextLogView::Top TextLogView::topShowingBottomOf(std::size_t line, int visualLine) const {
    // The editor's own rule: the wanted line's bottom at the bottom edge, and as much as fits above it.
    qreal height = viewport()->height();
    qreal h = layoutOf(line).lineAt(visualLine).naturalTextRect().bottom();
    std::size_t block = line;
    std::size_t previous = line;
    while (h < height && block > 0) {
        previous = block;
        --block;
        h += lineHeight(block);
    }
    const QTextLayout& top = layoutOf(block);
    qreal offset = block == 0 ? -document()->documentMargin() : 0;
    int sub = 0;
    while (sub < top.lineCount() && h - offset - top.lineAt(sub).naturalTextRect().top() > height) {
        ++sub;
    }
    if (sub >= top.lineCount()) {
        return {previous, 0};
    }
    return {block, sub};
}

std::optional<qreal> TextLogView::lineTopY(std::size_t line) const {
    if (line < m_top.line) {
        return std::nullopt;
    }
    qreal y = topY();
    qreal limit = 2.0 * viewport()->height();
    for (std::size_t at = m_top.line; at < line; ++at) {
        y += lineHeight(at);
        if (y > limit) {
            return std::nullopt;
        }
    }
    return y;
}

void TextLogView::ensureVisible(Position position) const {
    const QTextLayout& layout = layoutOf(position.line);
    QTextLine line = layout.lineForTextPosition(position.column);
    int visual = line.isValid() ? line.lineNumber() : 0;
    if (Top{position.line, visual} < m_top) {
        m_top = {position.line, visual};
        return;
    }
    std::optional<qreal> y = lineTopY(position.line);
    if (!y || *y + layout.lineAt(visual).naturalTextRect().bottom() >= viewport()->height()) {
        m_top = topShowingBottomOf(position.line, visual);
    }
}

void TextLogView::setTop(Top top) {
    m_top = std::min(top, m_endTop);
    applyScrollBar();
    viewport()->update();
}

void TextLogView::scrollContentsBy(int dx, int dy) {
    if (!m_light) {
        QPlainTextEdit::scrollContentsBy(dx, dy);
        return;
    }
    if (m_applyingScrollBar) {
        return;
    }
    int value = verticalScrollBar()->value();
    settle();
    setTop(static_cast<std::size_t>(value) >= m_endTop.line ? m_endTop : Top{static_cast<std::size_t>(value), 0});
}

TextLogView::Position TextLogView::hit(const QPointF& point) const {
    qreal y = topY();
    std::size_t line = m_top.line;
    for (qreal height = lineHeight(line); line < lastLine() && y + height <= point.y(); height = lineHeight(++line)) {
        y += height;
    }
    const QTextLayout& layout = layoutOf(line);
    QPointF inside = point - QPointF(0, y);
    int column = 0;
    // As the editor hits a block: above a line means its start, below means its end, on it means the nearest gap.
    for (int i = 0; i < layout.lineCount(); ++i) {
        QTextLine text = layout.lineAt(i);
        QRectF rect = text.naturalTextRect();
        if (rect.top() > inside.y()) {
            column = std::min(column, text.textStart());
        } else if (rect.bottom() <= inside.y()) {
            column = std::max(column, text.textStart() + text.textLength());
        } else {
            column = text.xToCursor(inside.x());
            break;
        }
    }
    return {line, column};
}

QRectF TextLogView::caretRect(Position position) const {
    const QTextLayout& layout = layoutOf(position.line);
    QTextLine line = layout.lineForTextPosition(position.column);
    std::optional<qreal> y = lineTopY(position.line);
    if (!line.isValid() || !y) {
        return {};
    }
    qreal x = line.cursorToX(position.column);
    return QRectF(x, *y + line.y(), cursorWidth(), line.height());
}

void TextLogView::setCaret(Position position, bool keepAnchor) {
    m_caret = position;
    if (!keepAnchor) {
        m_anchor = position;
    }
    resetBlink();
    viewport()->update();
    if (QAccessible::isActive()) {
        QAccessibleTextCursorEvent event(this, caretOffset());
        QAccessible::updateAccessibility(&event);
    }
}

QString TextLogView::textBetween(Position from, Position to) const {
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

QString TextLogView::selectedText() const {
    return textBetween(selectionStart(), selectionEnd());
}

void TextLogView::copySelection(bool toSelectionClipboard) const {
    if (!hasSelection()) {
        return;
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (toSelectionClipboard && !clipboard->supportsSelection()) {
        return;
    }
    clipboard->setMimeData(new ShownTextMime(selectedText(), document()->defaultFont()),
                           toSelectionClipboard ? QClipboard::Selection : QClipboard::Clipboard);
}

void TextLogView::selectAllText() {
    m_anchor = {};
    setCaret(textEnd(), true);
    copySelection(true);
}

void TextLogView::startDrag() {
    m_mayDrag = false;
    auto* drag = new QDrag(this);
    drag->setMimeData(new ShownTextMime(selectedText(), document()->defaultFont()));
    Qt::DropActions actions = isReadOnly() ? Qt::CopyAction : (Qt::CopyAction | Qt::MoveAction);
    Qt::DropAction action = drag->exec(actions, Qt::MoveAction);
    // Moved out to somewhere else: the text leaves this control as the editor would let it.
    if (action == Qt::MoveAction && drag->target() != this && drag->target() != viewport() && m_light) {
        deleteSelection();
    }
}

void TextLogView::deleteSelection() {
    beginEditing();
    QTextCursor cursor = textCursor();
    cursor.removeSelectedText();
    setTextCursor(cursor);
}

TextLogView::Position TextLogView::moved(Position from, int key, bool word) const {
    const QTextLayout& layout = layoutOf(from.line);
    int length = static_cast<int>(layout.text().size());
    QTextLayout::CursorMode skip = word ? QTextLayout::SkipWords : QTextLayout::SkipCharacters;
    switch (key) {
    case Qt::Key_Right:
        if (from.column < length) {
            return {from.line, layout.nextCursorPosition(from.column, skip)};
        }
        return from.line < lastLine() ? Position{from.line + 1, 0} : from;
    case Qt::Key_Left:
        if (from.column > 0) {
            return {from.line, layout.previousCursorPosition(from.column, skip)};
        }
        return from.line > 0 ? Position{from.line - 1, lineLength(from.line - 1)} : from;
    case Qt::Key_Home:
        return word ? Position{} : Position{from.line, layout.lineForTextPosition(from.column).textStart()};
    case Qt::Key_End: {
        if (word) {
            return textEnd();
        }
        QTextLine line = layout.lineForTextPosition(from.column);
        int end = line.textStart() + line.textLength();
        // A wrapped line ends before the space it was wrapped at.
        if (line.lineNumber() < layout.lineCount() - 1 && end > 0 && layout.text().at(end - 1).isSpace()) {
            --end;
        }
        return {from.line, end};
    }
    case Qt::Key_Up:
    case Qt::Key_Down: {
        QTextLine line = layout.lineForTextPosition(from.column);
        qreal x = m_desiredX >= 0 ? m_desiredX : line.cursorToX(from.column);
        std::size_t target = from.line;
        int visual = line.lineNumber() + (key == Qt::Key_Down ? 1 : -1);
        if (visual < 0) {
            if (from.line == 0) {
                return from;
            }
            target = from.line - 1;
            visual = layoutOf(target).lineCount() - 1;
        } else if (visual >= layout.lineCount()) {
            if (from.line == lastLine()) {
                return from;
            }
            target = from.line + 1;
            visual = 0;
        }
        return {target, layoutOf(target).lineAt(visual).xToCursor(x)};
    }
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: {
        QRectF caret = caretRect(from);
        qreal x = m_desiredX >= 0 ? m_desiredX : caret.x();
        qreal y = caret.isNull() ? 0 : caret.center().y();
        Top top = m_top;
        if (key == Qt::Key_PageDown) {
            Position bottom = hit(QPointF(0, viewport()->height() - 1));
            top = {bottom.line, layoutOf(bottom.line).lineForTextPosition(bottom.column).lineNumber()};
            if (top >= m_endTop) {
                return {lastLine(), std::min(hit(QPointF(x, y)).column, lineLength(lastLine()))};
            }
        } else {
            if (m_top == Top{}) {
                return {0, layoutOf(0).lineAt(0).xToCursor(x)};
            }
            top = topShowingBottomOf(m_top.line, m_top.subLine);
        }
        m_top = std::min(top, m_endTop);
        return hit(QPointF(x, y));
    }
    default:
        return from;
    }
}

bool TextLogView::handleNavigationKey(QKeyEvent* event) {
    struct Binding {
        QKeySequence::StandardKey key;
        int move;
        bool select;
        bool word;
    };
    static const Binding kBindings[] = {
        {QKeySequence::MoveToNextChar, Qt::Key_Right, false, false},
        {QKeySequence::MoveToPreviousChar, Qt::Key_Left, false, false},
        {QKeySequence::SelectNextChar, Qt::Key_Right, true, false},
        {QKeySequence::SelectPreviousChar, Qt::Key_Left, true, false},
        {QKeySequence::MoveToNextWord, Qt::Key_Right, false, true},
        {QKeySequence::MoveToPreviousWord, Qt::Key_Left, false, true},
        {QKeySequence::SelectNextWord, Qt::Key_Right, true, true},
        {QKeySequence::SelectPreviousWord, Qt::Key_Left, true, true},
        {QKeySequence::MoveToStartOfLine, Qt::Key_Home, false, false},
        {QKeySequence::MoveToEndOfLine, Qt::Key_End, false, false},
        {QKeySequence::SelectStartOfLine, Qt::Key_Home, true, false},
        {QKeySequence::SelectEndOfLine, Qt::Key_End, true, false},
        {QKeySequence::MoveToNextLine, Qt::Key_Down, false, false},
        {QKeySequence::MoveToPreviousLine, Qt::Key_Up, false, false},
        {QKeySequence::SelectNextLine, Qt::Key_Down, true, false},
        {QKeySequence::SelectPreviousLine, Qt::Key_Up, true, false},
        {QKeySequence::MoveToNextPage, Qt::Key_PageDown, false, false},
        {QKeySequence::MoveToPreviousPage, Qt::Key_PageUp, false, false},
        {QKeySequence::SelectNextPage, Qt::Key_PageDown, true, false},
        {QKeySequence::SelectPreviousPage, Qt::Key_PageUp, true, false},
        {QKeySequence::MoveToStartOfDocument, Qt::Key_Home, false, true},
        {QKeySequence::MoveToEndOfDocument, Qt::Key_End, false, true},
        {QKeySequence::SelectStartOfDocument, Qt::Key_Home, true, true},
        {QKeySequence::SelectEndOfDocument, Qt::Key_End, true, true},
    };
    for (const Binding& binding : kBindings) {
        if (!event->matches(binding.key)) {
            continue;
        }
        settle();
        Position target = moved(m_caret, binding.move, binding.word);
        bool vertical = binding.move == Qt::Key_Up || binding.move == Qt::Key_Down || binding.move == Qt::Key_PageUp ||
                        binding.move == Qt::Key_PageDown;
        qreal x = m_desiredX >= 0 ? m_desiredX : caretRect(m_caret).x();
        setCaret(target, binding.select);
        m_desiredX = vertical ? x : -1;
        m_caretWanted = true;
        relayout();
        if (binding.select) {
            copySelection(true);
        }
        return true;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAllText();
        return true;
    }
    if (event->matches(QKeySequence::Copy)) {
        copySelection(false);
        return true;
    }
    return false;
}

void TextLogView::keyPressEvent(QKeyEvent* event) {
    if (!m_light) {
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    if (handleNavigationKey(event)) {
        event->accept();
        return;
    }
    if (event->matches(QKeySequence::Undo) || event->matches(QKeySequence::Redo)) {
        // Nothing was typed since the text was set: there is nothing to undo.
        event->accept();
        return;
    }
    static const QKeySequence::StandardKey kEditing[] = {
        QKeySequence::Paste,
        QKeySequence::Cut,
        QKeySequence::Delete,
        QKeySequence::Backspace,
        QKeySequence::DeleteStartOfWord,
        QKeySequence::DeleteEndOfWord,
        QKeySequence::DeleteEndOfLine,
        QKeySequence::DeleteCompleteLine,
        QKeySequence::InsertParagraphSeparator,
        QKeySequence::InsertLineSeparator,
    };
    bool editing = !event->text().isEmpty() && (event->text().at(0).isPrint() || event->text().at(0) == u'\t');
    for (QKeySequence::StandardKey key : kEditing) {
        editing = editing || event->matches(key);
    }
    editing = editing || event->key() == Qt::Key_Backspace || event->key() == Qt::Key_Delete;
    if (editing && !isReadOnly()) {
        beginEditing();
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    event->ignore();
}

void TextLogView::mousePressEvent(QMouseEvent* event) {
    if (!m_light) {
        QPlainTextEdit::mousePressEvent(event);
        return;
    }
    settle();
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (event->button() == Qt::MiddleButton) {
        const QMimeData* pasted = clipboard->supportsSelection() ? clipboard->mimeData(QClipboard::Selection) : nullptr;
        if (!isReadOnly() && pasted && canInsertFromMimeData(pasted)) {
            beginEditing();
            QPlainTextEdit::mousePressEvent(event);
        }
        return;
    }
    if (event->button() != Qt::LeftButton) {
        return;
    }
    Position at = hit(event->position());
    m_pressPoint = event->position().toPoint();
    m_desiredX = -1;
    if (m_tripleClick.isActive() &&
        (m_pressPoint - m_tripleClickPoint).manhattanLength() < QApplication::startDragDistance()) {
        // A third click selects the whole line with its line end.
        m_tripleClick.stop();
        m_anchor = {at.line, 0};
        setCaret(at.line < lastLine() ? Position{at.line + 1, 0} : Position{at.line, lineLength(at.line)}, true);
        m_selectingWords = false;
        return;
    }
    Position start = selectionStart();
    Position end = selectionEnd();
    if (!(event->modifiers() & Qt::ShiftModifier) && hasSelection() && start <= at && at < end) {
        m_mayDrag = true;
        return;
    }
    m_selectingWords = false;
    setCaret(at, event->modifiers() & Qt::ShiftModifier);
}

void TextLogView::mouseMoveEvent(QMouseEvent* event) {
    if (!m_light) {
        QPlainTextEdit::mouseMoveEvent(event);
        return;
    }
    if (!(event->buttons() & Qt::LeftButton)) {
        return;
    }
    m_lastMouse = event->position().toPoint();
    if (m_mayDrag) {
        if ((m_lastMouse - m_pressPoint).manhattanLength() >= QApplication::startDragDistance()) {
            startDrag();
        }
        return;
    }
    settle();
    Position at = hit(event->position());
    if (m_selectingWords) {
        // After a double click the selection grows by whole words.
        QTextBoundaryFinder words(QTextBoundaryFinder::Word, layoutOf(at.line).text());
        words.setPosition(at.column);
        bool before = at < m_anchor;
        if (!words.isAtBoundary()) {
            at.column = static_cast<int>(before ? words.toPreviousBoundary() : words.toNextBoundary());
        }
        if (before) {
            m_anchor = m_wordAnchorEnd;
        }
    }
    setCaret(at, true);
    if (viewport()->rect().contains(m_lastMouse)) {
        m_scrollTimer.stop();
    } else if (!m_scrollTimer.isActive()) {
        m_scrollTimer.start(100, this);
    }
}

void TextLogView::mouseReleaseEvent(QMouseEvent* event) {
    if (!m_light) {
        QPlainTextEdit::mouseReleaseEvent(event);
        return;
    }
    m_scrollTimer.stop();
    if (m_mayDrag) {
        m_mayDrag = false;
        setCaret(hit(event->position()), false);
    }
    if (event->button() == Qt::LeftButton) {
        copySelection(true);
    }
}

void TextLogView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (!m_light) {
        QPlainTextEdit::mouseDoubleClickEvent(event);
        return;
    }
    if (event->button() != Qt::LeftButton) {
        return;
    }
    settle();
    Position at = hit(event->position());
    QTextBoundaryFinder words(QTextBoundaryFinder::Word, layoutOf(at.line).text());
    words.setPosition(at.column);
    int start = at.column;
    if (!(words.boundaryReasons() & QTextBoundaryFinder::StartOfItem)) {
        start = static_cast<int>(words.toPreviousBoundary());
    }
    words.setPosition(start);
    int end = static_cast<int>(words.toNextBoundary());
    m_anchor = {at.line, std::max(start, 0)};
    m_wordAnchorEnd = {at.line, end < 0 ? lineLength(at.line) : end};
    setCaret(m_wordAnchorEnd, true);
    m_selectingWords = true;
    m_tripleClick.start(QApplication::doubleClickInterval(), this);
    m_tripleClickPoint = event->position().toPoint();
    copySelection(true);
}

void TextLogView::contextMenuEvent(QContextMenuEvent* event) {
    if (!m_light) {
        QPlainTextEdit::contextMenuEvent(event);
        return;
    }
    settle();
    // The editor's own menu (texts, shortcuts, icons), its actions pointed at the light view.
    QMenu* menu = createStandardContextMenu();
    for (QAction* action : menu->actions()) {
        QString name = action->objectName();
        auto redirect = [&](bool enabled, auto handler) {
            QObject::disconnect(action, &QAction::triggered, nullptr, nullptr);
            QObject::connect(action, &QAction::triggered, this, handler);
            action->setEnabled(enabled);
        };
        bool editable = !isReadOnly();
        if (name == QLatin1String("edit-copy")) {
            redirect(hasSelection(), [this] { copySelection(false); });
        } else if (name == QLatin1String("select-all")) {
            redirect(characterCount() > 0, [this] { selectAllText(); });
        } else if (name == QLatin1String("edit-cut")) {
            redirect(editable && hasSelection(), [this] {
                beginEditing();
                cut();
            });
        } else if (name == QLatin1String("edit-delete")) {
            redirect(editable && hasSelection(), [this] { deleteSelection(); });
        } else if (name == QLatin1String("edit-paste")) {
            redirect(action->isEnabled(), [this] {
                beginEditing();
                paste();
            });
        }
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void TextLogView::dragEnterEvent(QDragEnterEvent* event) {
    if (m_light) {
        acceptDropIfEditable(event);
    } else {
        QPlainTextEdit::dragEnterEvent(event);
    }
}

void TextLogView::dragMoveEvent(QDragMoveEvent* event) {
    if (m_light) {
        acceptDropIfEditable(event);
    } else {
        QPlainTextEdit::dragMoveEvent(event);
    }
}

void TextLogView::acceptDropIfEditable(QDragMoveEvent* event) {
    if (!isReadOnly() && canInsertFromMimeData(event->mimeData())) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void TextLogView::dropEvent(QDropEvent* event) {
    if (m_light && !isReadOnly()) {
        beginEditing();
    }
    QPlainTextEdit::dropEvent(event);
}

void TextLogView::focusInEvent(QFocusEvent* event) {
    QPlainTextEdit::focusInEvent(event);
    if (m_light) {
        resetBlink();
        viewport()->update();
    }
}

void TextLogView::focusOutEvent(QFocusEvent* event) {
    QPlainTextEdit::focusOutEvent(event);
    if (m_light) {
        m_blinkTimer.stop();
        m_caretOn = false;
        viewport()->update();
    }
}

void TextLogView::resetBlink() {
    m_caretOn = hasFocus();
    int flash = QGuiApplication::styleHints()->cursorFlashTime();
    if (m_caretOn && flash >= 2) {
        m_blinkTimer.start(flash / 2, this);
    } else {
        m_blinkTimer.stop();
    }
}

void TextLogView::showEvent(QShowEvent* event) {
    if (!m_light) {
        QPlainTextEdit::showEvent(event);
        return;
    }
    relayout();
}

void TextLogView::resizeEvent(QResizeEvent* event) {
    if (!m_light) {
        QPlainTextEdit::resizeEvent(event);
        return;
    }
    if (viewport()->width() != m_layoutWidth) {
        m_layoutWidth = viewport()->width();
        forgetLayouts();
        m_top.subLine = 0;
    }
    relayout();
}

void TextLogView::changeEvent(QEvent* event) {
    if (!m_light) {
        QPlainTextEdit::changeEvent(event);
        return;
    }
    // The editor's reaction (its font, its palette) may reset the scroll bar; the light view sets it again.
    m_applyingScrollBar = true;
    QPlainTextEdit::changeEvent(event);
    m_applyingScrollBar = false;
    if (event->type() == QEvent::FontChange || event->type() == QEvent::ApplicationFontChange) {
        forgetLayouts();
    }
    relayout();
    applyScrollBar();
}

bool TextLogView::event(QEvent* event) {
    if (m_light && event->type() == QEvent::ContextMenu &&
        static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) {
        settle();
        ensureVisible(m_caret);
        QPoint at = caretRect(m_caret).center().toPoint();
        QContextMenuEvent atCaret(QContextMenuEvent::Keyboard, at, viewport()->mapToGlobal(at));
        contextMenuEvent(&atCaret);
        return true;
    }
    return QPlainTextEdit::event(event);
}

void TextLogView::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_frameTimer.timerId()) {
        m_frameTimer.stop();
        settle();
        viewport()->update();
    } else if (event->timerId() == m_blinkTimer.timerId()) {
        m_caretOn = !m_caretOn;
        viewport()->update(caretRect(m_caret).toAlignedRect().adjusted(-1, -1, 1, 1));
    } else if (event->timerId() == m_tripleClick.timerId()) {
        m_tripleClick.stop();
    } else if (event->timerId() == m_scrollTimer.timerId()) {
        QRect visible = viewport()->rect();
        if (m_lastMouse.y() < visible.top()) {
            verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
        } else if (m_lastMouse.y() > visible.bottom()) {
            verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        }
        setCaret(hit(QPointF(m_lastMouse.x(), std::clamp(m_lastMouse.y(), 0, visible.bottom()))), true);
    } else {
        QPlainTextEdit::timerEvent(event);
    }
}

void TextLogView::paintEvent(QPaintEvent* event) {
    if (!m_light) {
        QPlainTextEdit::paintEvent(event);
        return;
    }
    settle();
    QPainter painter(viewport());
    QRect exposed = event->rect();
    painter.setClipRect(exposed);
    QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
    QTextCharFormat selected;
    selected.setBackground(palette().brush(group, QPalette::Highlight));
    selected.setForeground(palette().brush(group, QPalette::HighlightedText));
    painter.setPen(palette().color(QPalette::Text));
    Position start = selectionStart();
    Position end = selectionEnd();
    bool drawCaret =
        m_caretOn && hasFocus() && (!isReadOnly() || (textInteractionFlags() & Qt::TextSelectableByKeyboard));
    qreal y = topY();
    for (std::size_t line = m_top.line; line <= lastLine() && y <= viewport()->height(); ++line) {
        QTextLayout& layout = layoutOf(line);
        qreal height = lineHeight(line);
        if (y + height >= exposed.top() && y <= exposed.bottom()) {
            QList<QTextLayout::FormatRange> selections;
            if (hasSelection() && start.line <= line && line <= end.line) {
                int from = line == start.line ? start.column : 0;
                // A selection that goes on past the line takes its line end too.
                int to = line == end.line ? end.column : static_cast<int>(layout.text().size()) + 1;
                selections.append({from, to - from, selected});
            }
            layout.draw(&painter, QPointF(0, y), selections, exposed);
            if (drawCaret && line == m_caret.line) {
                layout.drawCursor(&painter, QPointF(0, y), m_caret.column, cursorWidth());
            }
        }
        y += height;
    }
}

void TextLogView::inputMethodEvent(QInputMethodEvent* event) {
    bool empty = event->preeditString().isEmpty() && event->commitString().isEmpty() && event->attributes().isEmpty();
    if (m_light && !empty && !isReadOnly()) {
        beginEditing();
    }
    if (m_light) {
        event->ignore();
        return;
    }
    QPlainTextEdit::inputMethodEvent(event);
}

QVariant TextLogView::inputMethodQuery(Qt::InputMethodQuery query) const {
    if (!m_light || query == Qt::ImEnabled || query == Qt::ImHints || query == Qt::ImReadOnly ||
        query == Qt::ImInputItemClipRectangle) {
        return QPlainTextEdit::inputMethodQuery(query);
    }
    settle();
    switch (query) {
    case Qt::ImCursorRectangle:
        return caretRect(m_caret);
    case Qt::ImAnchorRectangle:
        return caretRect(m_anchor);
    case Qt::ImFont:
        return document()->defaultFont();
    case Qt::ImCursorPosition:
        return m_caret.column;
    case Qt::ImAnchorPosition:
        return m_anchor.line == m_caret.line ? m_anchor.column : (m_anchor < m_caret ? 0 : lineLength(m_caret.line));
    case Qt::ImSurroundingText:
        return layoutOf(m_caret.line).text();
    case Qt::ImCurrentSelection:
        return selectedText();
    case Qt::ImAbsolutePosition:
        return static_cast<qlonglong>(offsetOf(m_caret));
    case Qt::ImTextBeforeCursor:
        return layoutOf(m_caret.line).text().left(m_caret.column);
    case Qt::ImTextAfterCursor:
        return layoutOf(m_caret.line).text().mid(m_caret.column);
    default:
        return {};
    }
}

QString TextLogView::shownText() const {
    // From the lines themselves: through offsets, every line would be converted once more to count the characters.
    return m_light ? textBetween({}, textEnd()) : toPlainText();
}

void TextLogView::moveToEnd() {
    if (!m_light) {
        QTextCursor cursor = textCursor();
        cursor.movePosition(QTextCursor::End);
        setTextCursor(cursor);
        ensureCursorVisible();
        return;
    }
    m_anchor = m_caret = textEnd();
    m_desiredX = -1;
    changed(true);
}

void TextLogView::scrollToCaret() {
    if (!m_light) {
        ensureCursorVisible();
        return;
    }
    changed(true);
}

void TextLogView::scrollToOffset(int offset) {
    if (!m_light) {
        QTextCursor cursor(document());
        cursor.setPosition(std::clamp(offset, 0, characterCount()));
        setTextCursor(cursor);
        ensureCursorVisible();
        return;
    }
    settle();
    ensureVisible(positionAt(static_cast<std::size_t>(std::max(offset, 0))));
    relayout();
    viewport()->update();
}

void TextLogView::select(int start, int end) {
    if (!m_light) {
        QTextCursor cursor = textCursor();
        if (start == -1) {
            cursor.clearSelection();
        } else {
            cursor.movePosition(QTextCursor::End);
            int last = cursor.position();
            cursor.setPosition(std::min(start, last));
            cursor.setPosition(end < 0 ? last : std::min(end, last), QTextCursor::KeepAnchor);
        }
        setTextCursor(cursor);
        return;
    }
    if (start == -1) {
        m_anchor = m_caret;
    } else {
        std::size_t last = static_cast<std::size_t>(characterCount());
        m_anchor = positionAt(std::min(static_cast<std::size_t>(start), last));
        m_caret = positionAt(end < 0 ? last : std::min(static_cast<std::size_t>(end), last));
    }
    setCaret(m_caret, true);
}

void TextLogView::ensureCharBases() const {
    std::size_t blocks = lastLine() / kCharBlock + 1;
    if (m_charBases.empty()) {
        m_charBases.push_back(0);
    }
    while (m_charBases.size() < blocks) {
        std::size_t first = (m_charBases.size() - 1) * kCharBlock;
        std::size_t sum = m_charBases.back();
        for (std::size_t line = first; line < first + kCharBlock; ++line) {
            sum += static_cast<std::size_t>(lineLength(line)) + 1;
        }
        m_charBases.push_back(sum);
    }
}

std::size_t TextLogView::offsetOf(Position position) const {
    ensureCharBases();
    std::size_t first = position.line / kCharBlock * kCharBlock;
    std::size_t offset = m_charBases[position.line / kCharBlock];
    for (std::size_t line = first; line < position.line; ++line) {
        offset += static_cast<std::size_t>(lineLength(line)) + 1;
    }
    return offset + static_cast<std::size_t>(position.column);
}

TextLogView::Position TextLogView::positionAt(std::size_t offset) const {
    ensureCharBases();
    auto after = std::upper_bound(m_charBases.begin(), m_charBases.end(), offset);
    std::size_t line = static_cast<std::size_t>(after - m_charBases.begin() - 1) * kCharBlock;
    std::size_t at = *(after - 1);
    for (;; ++line) {
        std::size_t length = static_cast<std::size_t>(lineLength(line));
        if (offset <= at + length || line == lastLine()) {
            return {line, static_cast<int>(std::min(offset - at, length))};
        }
        at += length + 1;
    }
}

int TextLogView::characterCount() const {
    if (!m_light) {
        return document()->characterCount() - 1;
    }
    return static_cast<int>(std::min<std::size_t>(offsetOf(textEnd()), INT_MAX));
}

QString TextLogView::textRange(int start, int end) const {
    if (!m_light) {
        QTextCursor cursor(document());
        int last = characterCount();
        cursor.setPosition(std::clamp(start, 0, last));
        cursor.setPosition(std::clamp(end, 0, last), QTextCursor::KeepAnchor);
        return cursor.selection().toPlainText();
    }
    return textBetween(positionAt(static_cast<std::size_t>(std::max(start, 0))),
                       positionAt(static_cast<std::size_t>(std::max(end, start))));
}

int TextLogView::caretOffset() const {
    return m_light ? static_cast<int>(offsetOf(m_caret)) : textCursor().position();
}

void TextLogView::selectionOffsets(int* start, int* end) const {
    if (!m_light) {
        *start = textCursor().selectionStart();
        *end = textCursor().selectionEnd();
        return;
    }
    *start = static_cast<int>(offsetOf(selectionStart()));
    *end = static_cast<int>(offsetOf(selectionEnd()));
}

QRect TextLogView::characterRect(int offset) const {
    if (!m_light) {
        QTextCursor cursor(document());
        cursor.setPosition(std::clamp(offset, 0, characterCount()));
        return cursorRect(cursor);
    }
    settle();
    Position at = positionAt(static_cast<std::size_t>(std::max(offset, 0)));
    QRectF caret = caretRect(at);
    QTextLine line = layoutOf(at.line).lineForTextPosition(at.column);
    if (caret.isNull() || !line.isValid()) {
        return {};
    }
    qreal right = line.cursorToX(std::min(at.column + 1, lineLength(at.line)));
    return QRectF(caret.x(), caret.y(), std::max<qreal>(right - caret.x(), 1), caret.height()).toAlignedRect();
}

int TextLogView::offsetAtPoint(const QPoint& point) const {
    if (!m_light) {
        return cursorForPosition(point).position();
    }
    settle();
    return static_cast<int>(offsetOf(hit(point)));
}

void TextLogView::notifyAccessibility(std::size_t firstNewLine) {
    if (!QAccessible::isActive()) {
        return;
    }
    // Straight from the lines: going through offsets would walk the lines before the new ones three more times.
    Position first{firstNewLine, 0};
    QAccessibleTextUpdateEvent event(this, static_cast<int>(offsetOf(first)), QString(), textBetween(first, textEnd()));
    QAccessible::updateAccessibility(&event);
}
