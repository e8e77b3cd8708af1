#pragma once
// Draws a text as a QR symbol through libqrencode. Any thread.

#include <QColor>
#include <QImage>
#include <QObject>

class KxQREncode : public QObject {
    Q_OBJECT
public:
    explicit KxQREncode(QObject *parent = nullptr);

    /// The symbol of text's UTF-8 bytes (8-bit mode, level L, version 2 or
    /// higher as the text needs), each module a square of pixelsPerModule
    /// pixels, no quiet zone, 32-bit RGB. A null image when the text is empty
    /// or fits no QR symbol (logged).
    QImage encode(const QString &text, int pixelsPerModule, const QColor &foreground,
                  const QColor &background) const;
};
