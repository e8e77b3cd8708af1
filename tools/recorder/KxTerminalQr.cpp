#include "KxTerminalQr.h"

#include <qrencode.h>

QString kxTerminalQr(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QRcode *code = QRcode_encodeString(utf8.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (!code)
        return QString();
    const int quiet = 2;
    const int size = code->width + 2 * quiet;
    auto dark = [&](int x, int y) {
        x -= quiet;
        y -= quiet;
        if (x < 0 || y < 0 || x >= code->width || y >= code->width)
            return false;
        return (code->data[y * code->width + x] & 1) != 0;
    };
    // Light text on a dark terminal reads best with dark modules drawn as
    // spaces, so draw the light modules.
    QString out;
    for (int y = 0; y < size; y += 2) {
        for (int x = 0; x < size; ++x) {
            const bool top = !dark(x, y);
            const bool bottom = y + 1 < size ? !dark(x, y + 1) : true;
            if (top && bottom)
                out += QChar(0x2588);
            else if (top)
                out += QChar(0x2580);
            else if (bottom)
                out += QChar(0x2584);
            else
                out += QLatin1Char(' ');
        }
        out += QLatin1Char('\n');
    }
    QRcode_free(code);
    return out;
}
