#pragma once

#include <QFont>
#include <QMimeData>
#include <QString>

// What a copy or drag of shown text offers, as the editor offers it: plain text, and HTML and ODF made only when a
// receiver asks for them.
class TextLogMimeData : public QMimeData {
public:
    TextLogMimeData(QString text, QFont font) : m_text(std::move(text)), m_font(std::move(font)) {}

    QStringList formats() const override;
    bool hasFormat(const QString& mimeType) const override;

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override;

private:
    QString m_text;
    QFont m_font;
};
