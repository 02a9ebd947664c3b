#include "TextLogView.h"

#include "platform/EditorShownText.h"
#include "platform/LightShownText.h"
#include "platform/TextLogAccessible.h"
#include "platform/TextLogCaret.h"
#include "platform/TextLogContent.h"
#include "platform/TextLogLayouts.h"
#include "platform/TextLogMouse.h"
#include "platform/TextLogOffsets.h"
#include "platform/TextLogScroller.h"
#include "platform/base/TextLog.h"

#include <QAccessible>
#include <QClipboard>
#include <QGuiApplication>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>

#include <climits>

struct TextLogView::Parts {
    explicit Parts(TextLogView& view)
        : layouts(content), offsets(layouts), scroller(layouts, selection, view),
          caret(selection, layouts, offsets, scroller, view), mouse(layouts, scroller, caret, view), editorText(view),
          lightText(layouts, offsets, scroller, caret) {}

    TextLogSelection selection;
    TextLogContent content;
    TextLogLayouts layouts;
    TextLogOffsets offsets;
    TextLogScroller scroller;
    TextLogCaret caret;
    TextLogMouse mouse;
    EditorShownText editorText;
    LightShownText lightText;
};

TextLogView::TextLogView(QWidget* parent) : QPlainTextEdit(parent), m_parts(std::make_unique<Parts>(*this)) {
    m_shown = &m_parts->editorText;
    TextLogAccessible::installFactory();
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
    // Asked before the lines change: whether the view was following the end, as the user last saw it.
    bool readingBack = m_light && (!m_parts->selection.isEmpty() || !m_parts->scroller.showsEnd());
    TextLogContent::Change change = m_parts->content.show(log);
    // Another log has no place of the reader's to keep.
    m_readingBack = readingBack && !change.replaced;
    m_parts->layouts.forget(change);
    m_parts->offsets.forget(change);
    if (!m_light) {
        enterLight();
    }
    m_parts->caret.clamp();
    m_parts->scroller.changed(false);
    notifyAccessibility(change.firstChanged);
}

void TextLogView::stopShowingLog() {
    leaveLight(true);
}

void TextLogView::enterLight() {
    m_ownChange = true;
    clear();
    m_ownChange = false;
    m_light = true;
    m_shown = &m_parts->lightText;
    // The editor pages by its own blocks on a scroll-bar click; the light view pages by its lines after it.
    m_paging = connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, &m_parts->scroller,
                       &TextLogScroller::pageByScrollBar);
    m_parts->caret.reset();
    m_parts->scroller.reset();
    resetLayouts();
    if (hasFocus()) {
        m_parts->caret.restartBlink();
    }
}

void TextLogView::leaveLight(bool relayoutNow) {
    if (!m_light) {
        return;
    }
    m_light = false;
    m_shown = &m_parts->editorText;
    QObject::disconnect(m_paging);
    m_parts->scroller.stop();
    m_parts->caret.hide();
    m_parts->mouse.stop();
    m_parts->layouts.clear();
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

void TextLogView::resetLayouts() {
    m_layoutWidth = viewport()->width();
    QTextDocument* text = document();
    qreal width = lineWrapMode() == NoWrap ? qreal(INT_MAX) : qreal(m_layoutWidth);
    m_parts->layouts.setFormat(
        {text->defaultFont(), text->defaultTextOption(), text->documentMargin(), width, viewport()});
}

void TextLogView::beginEditing() {
    if (!m_light) {
        return;
    }
    m_parts->scroller.settle();
    int anchor = 0;
    int caret = 0;
    QString whole = m_parts->content.wholeText(m_parts->selection, &anchor, &caret);
    TextLogTop top = m_parts->scroller.top();
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

void TextLogView::deleteSelection() {
    beginEditing();
    QTextCursor cursor = textCursor();
    cursor.removeSelectedText();
    setTextCursor(cursor);
}

void TextLogView::scrollContentsBy(int dx, int dy) {
    if (!m_light) {
        QPlainTextEdit::scrollContentsBy(dx, dy);
        return;
    }
    m_parts->scroller.followScrollBar();
}

void TextLogView::keyPressEvent(QKeyEvent* event) {
    if (!m_light) {
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    if (m_parts->caret.navigate(event)) {
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
    m_parts->scroller.settle();
    if (event->button() == Qt::MiddleButton) {
        QClipboard* clipboard = QGuiApplication::clipboard();
        const QMimeData* pasted = clipboard->supportsSelection() ? clipboard->mimeData(QClipboard::Selection) : nullptr;
        if (!isReadOnly() && pasted && canInsertFromMimeData(pasted)) {
            beginEditing();
            QPlainTextEdit::mousePressEvent(event);
        }
        return;
    }
    m_parts->mouse.press(event);
}

void TextLogView::mouseMoveEvent(QMouseEvent* event) {
    if (!m_light) {
        QPlainTextEdit::mouseMoveEvent(event);
        return;
    }
    if (m_parts->mouse.move(event) && m_light) {
        deleteSelection();
    }
}

void TextLogView::mouseReleaseEvent(QMouseEvent* event) {
    if (!m_light) {
        QPlainTextEdit::mouseReleaseEvent(event);
        return;
    }
    m_parts->mouse.release(event);
}

void TextLogView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (!m_light) {
        QPlainTextEdit::mouseDoubleClickEvent(event);
        return;
    }
    m_parts->mouse.doubleClick(event);
}

void TextLogView::contextMenuEvent(QContextMenuEvent* event) {
    if (!m_light) {
        QPlainTextEdit::contextMenuEvent(event);
        return;
    }
    m_parts->scroller.settle();
    TextLogCaret& caret = m_parts->caret;
    bool selected = !m_parts->selection.isEmpty();
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
            redirect(selected, [&caret] { caret.copy(false); });
        } else if (name == QLatin1String("select-all")) {
            redirect(characterCount() > 0, [&caret] { caret.selectAll(); });
        } else if (name == QLatin1String("edit-cut")) {
            redirect(editable && selected, [this] {
                beginEditing();
                cut();
            });
        } else if (name == QLatin1String("edit-delete")) {
            redirect(editable && selected, [this] { deleteSelection(); });
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
        m_parts->caret.restartBlink();
        viewport()->update();
    }
}

void TextLogView::focusOutEvent(QFocusEvent* event) {
    QPlainTextEdit::focusOutEvent(event);
    if (m_light) {
        m_parts->caret.hide();
        viewport()->update();
    }
}

void TextLogView::showEvent(QShowEvent* event) {
    if (!m_light) {
        QPlainTextEdit::showEvent(event);
        return;
    }
    m_parts->scroller.relayout();
}

void TextLogView::resizeEvent(QResizeEvent* event) {
    if (!m_light) {
        QPlainTextEdit::resizeEvent(event);
        return;
    }
    if (viewport()->width() != m_layoutWidth) {
        resetLayouts();
        m_parts->scroller.wrapChanged();
    }
    m_parts->scroller.relayout();
}

void TextLogView::changeEvent(QEvent* event) {
    if (!m_light) {
        QPlainTextEdit::changeEvent(event);
        return;
    }
    // The editor's reaction (its font, its palette) may reset the scroll bar; the light view sets it again.
    TextLogScroller& scroller = m_parts->scroller;
    scroller.ignoreScrollBar(true);
    QPlainTextEdit::changeEvent(event);
    scroller.ignoreScrollBar(false);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::ApplicationFontChange) {
        resetLayouts();
    }
    scroller.relayout();
    scroller.applyScrollBar();
}

bool TextLogView::event(QEvent* event) {
    if (m_light && event->type() == QEvent::ContextMenu &&
        static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) {
        TextLogScroller& scroller = m_parts->scroller;
        TextLogPosition caret = m_parts->selection.caret;
        scroller.settle();
        scroller.ensureVisible(caret);
        QPoint at = scroller.caretRect(caret).center().toPoint();
        QContextMenuEvent atCaret(QContextMenuEvent::Keyboard, at, viewport()->mapToGlobal(at));
        contextMenuEvent(&atCaret);
        return true;
    }
    return QPlainTextEdit::event(event);
}

void TextLogView::paintEvent(QPaintEvent* event) {
    if (!m_light) {
        QPlainTextEdit::paintEvent(event);
        return;
    }
    TextLogScroller& scroller = m_parts->scroller;
    const TextLogLayouts& layouts = m_parts->layouts;
    scroller.settle();
    QPainter painter(viewport());
    QRect exposed = event->rect();
    painter.setClipRect(exposed);
    QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
    QTextCharFormat selected;
    selected.setBackground(palette().brush(group, QPalette::Highlight));
    selected.setForeground(palette().brush(group, QPalette::HighlightedText));
    painter.setPen(palette().color(QPalette::Text));
    const TextLogSelection& selection = m_parts->selection;
    TextLogPosition start = selection.start();
    TextLogPosition end = selection.end();
    bool drawCaret = m_parts->caret.isShown() && hasFocus() &&
                     (!isReadOnly() || (textInteractionFlags() & Qt::TextSelectableByKeyboard));
    std::size_t last = m_parts->content.lastLine();
    qreal y = scroller.topY();
    for (std::size_t line = scroller.top().line; line <= last && y <= viewport()->height(); ++line) {
        const QTextLayout& layout = layouts.layout(line);
        qreal height = layouts.height(line);
        if (y + height >= exposed.top() && y <= exposed.bottom()) {
            QList<QTextLayout::FormatRange> selections;
            if (!selection.isEmpty() && start.line <= line && line <= end.line) {
                int from = line == start.line ? start.column : 0;
                // A selection that goes on past the line takes its line end too.
                int to = line == end.line ? end.column : static_cast<int>(layout.text().size()) + 1;
                selections.append({from, to - from, selected});
            }
            layout.draw(&painter, QPointF(0, y), selections, exposed);
            if (drawCaret && line == selection.caret.line) {
                layout.drawCursor(&painter, QPointF(0, y), selection.caret.column, cursorWidth());
            }
        }
        y += height;
    }
}

void TextLogView::inputMethodEvent(QInputMethodEvent* event) {
    if (m_light) {
        bool empty =
            event->preeditString().isEmpty() && event->commitString().isEmpty() && event->attributes().isEmpty();
        if (empty || isReadOnly()) {
            event->ignore();
            return;
        }
        beginEditing();
    }
    QPlainTextEdit::inputMethodEvent(event);
}

QVariant TextLogView::inputMethodQuery(Qt::InputMethodQuery query) const {
    if (!m_light || query == Qt::ImEnabled || query == Qt::ImHints || query == Qt::ImReadOnly ||
        query == Qt::ImInputItemClipRectangle) {
        return QPlainTextEdit::inputMethodQuery(query);
    }
    // The answer is about the view as the next frame draws it.
    m_parts->scroller.settle();
    return m_parts->caret.inputMethodQuery(query);
}

void TextLogView::notifyAccessibility(std::size_t firstNewLine) {
    if (!QAccessible::isActive()) {
        return;
    }
    // Straight from the lines: going through offsets would walk the lines before the new ones three more times.
    TextLogPosition first{firstNewLine, 0};
    QAccessibleTextUpdateEvent event(this, static_cast<int>(m_parts->offsets.offsetOf(first)), QString(),
                                     m_parts->content.textBetween(first, m_parts->layouts.textEnd()));
    QAccessible::updateAccessibility(&event);
}
