#include "KxQREncode.h"

#include <qrencode.h>

#include <QtDebug>

#include <cerrno>
#include <cstring>

KxQREncode::KxQREncode(QObject *parent) : QObject(parent) {}

QImage KxQREncode::encode(const QString &text, int pixelsPerModule, const QColor &foreground,
                          const QColor &background) const
{
    const QByteArray bytes = text.toUtf8();
    if (bytes.isEmpty() || pixelsPerModule <= 0) {
        qWarning() << "KxQREncode::encode, nothing to encode, length: " << bytes.size();
        return QImage();
    }
    // libqrencode returns NULL with ERANGE when the text fits no symbol.
    QRcode *code = QRcode_encodeString8bit(bytes.constData(), 2, QR_ECLEVEL_L);
    if (!code) {
        qWarning() << "KxQREncode::encode, QRcode_encodeString8bit failed:" << strerror(errno)
                   << "length: " << bytes.size();
        return QImage();
    }
    const int side = code->width * pixelsPerModule;
    QImage image(side, side, QImage::Format_RGB32);
    const QRgb fg = foreground.rgb();
    const QRgb bg = background.rgb();
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            const QRgb c = (code->data[y * code->width + x] & 1) ? fg : bg;
            for (int dy = 0; dy < pixelsPerModule; ++dy) {
                auto *line = reinterpret_cast<QRgb *>(image.scanLine(y * pixelsPerModule + dy));
                for (int dx = 0; dx < pixelsPerModule; ++dx)
                    line[x * pixelsPerModule + dx] = c;
            }
        }
    }
    QRcode_free(code);
    return image;
}
