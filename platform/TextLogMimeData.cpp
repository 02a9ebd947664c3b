#include "TextLogMimeData.h"

#include <QBuffer>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextDocumentWriter>

QStringList TextLogMimeData::formats() const {
    return {QStringLiteral("text/plain"), QStringLiteral("text/html"),
            QStringLiteral("application/vnd.oasis.opendocument.text")};
}

bool TextLogMimeData::hasFormat(const QString& mimeType) const {
    return formats().contains(mimeType);
}

QVariant TextLogMimeData::retrieveData(const QString& mimeType, QMetaType type) const {
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
