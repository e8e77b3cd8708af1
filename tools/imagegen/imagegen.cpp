// imagegen: draws the user interface's images at build time and writes the
// Qt resource file that lists them.
//
//   imagegen <svg-source-dir> <output-dir>
//
// Everything is drawn at twice the size at which the widgets show it at
// scale 1, so the pictures stay crisp on 4K screens (scale 2). The flat
// style keeps to the product's accent #4665ff; nothing is copied from
// elsewhere. Output: <output-dir>/images/... and <output-dir>/kx_ui_images.qrc
// with the prefix "/img", so a file reads as ":/img/images/<name>".

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>
#include <QTextStream>
#include <QtMath>

#include <cstdio>
#include <functional>

namespace {

const QColor kAccent(0x46, 0x65, 0xff);
const QColor kAccentDark(0x34, 0x51, 0xf0);
const QColor kAccentLight(0x64, 0x80, 0xff);
const QColor kRecordRed(0xff, 0x3b, 0x4a);
const QColor kGreyGlyph(0x66, 0x66, 0x66);

QString g_outDir;
QString g_svgDir;
QStringList g_written;
bool g_failed = false;

QImage canvas(int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

void save(const QImage &img, const QString &name)
{
    const QString path = g_outDir + "/images/" + name;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QImageWriter writer(path);
    if (name.endsWith(".png"))
        writer.setQuality(0); // for PNG: the strongest compression
    if (!writer.write(img)) {
        fprintf(stderr, "imagegen: cannot write %s: %s\n", qPrintable(path), qPrintable(writer.errorString()));
        g_failed = true;
        return;
    }
    g_written << "images/" + name;
}

void antialias(QPainter &p)
{
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setRenderHint(QPainter::TextAntialiasing);
}

double clamp01(double v)
{
    return v < 0 ? 0 : (v > 1 ? 1 : v);
}

// Progress of t within [a, b], 0..1.
double phase(double t, double a, double b)
{
    return clamp01((t - a) / (b - a));
}

double easeOutCubic(double x)
{
    return 1 - std::pow(1 - x, 3);
}

double easeInOut(double x)
{
    return x < 0.5 ? 4 * x * x * x : 1 - std::pow(-2 * x + 2, 3) / 2;
}

double easeOutBack(double x)
{
    const double c1 = 1.70158, c3 = c1 + 1;
    return 1 + c3 * std::pow(x - 1, 3) + c1 * std::pow(x - 1, 2);
}

// A soft shadow: blurred copies of a shape, darker toward the middle.
void softShadow(QPainter &p, const QPainterPath &shape, int spread, int alpha, QPointF offset)
{
    p.save();
    p.setPen(Qt::NoPen);
    for (int i = spread; i > 0; --i) {
        QColor c(0, 0, 0, alpha / spread);
        p.setBrush(c);
        QPainterPathStroker stroker;
        stroker.setWidth(2 * i);
        stroker.setJoinStyle(Qt::RoundJoin);
        p.drawPath((stroker.createStroke(shape) + shape).translated(offset));
    }
    p.restore();
}

QImage renderSvg(const QString &file, QSize size)
{
    QSvgRenderer svg(g_svgDir + "/" + file);
    QImage img = canvas(size.width(), size.height());
    if (!svg.isValid()) {
        fprintf(stderr, "imagegen: cannot read %s/%s\n", qPrintable(g_svgDir), qPrintable(file));
        g_failed = true;
        return img;
    }
    QPainter p(&img);
    antialias(p);
    svg.render(&p);
    return img;
}

// A video camera glyph: rounded body and lens, inside rect.
void cameraGlyph(QPainter &p, const QRectF &r, const QColor &color, bool recordDot)
{
    const double w = r.width(), h = r.height();
    QRectF body(r.left(), r.top() + h * 0.18, w * 0.66, h * 0.64);
    QPainterPath lens;
    lens.moveTo(r.left() + w * 0.71, r.top() + h * 0.42);
    lens.lineTo(r.right(), r.top() + h * 0.24);
    lens.lineTo(r.right(), r.top() + h * 0.76);
    lens.lineTo(r.left() + w * 0.71, r.top() + h * 0.58);
    lens.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRoundedRect(body, h * 0.14, h * 0.14);
    QPainterPathStroker round;
    round.setWidth(h * 0.08);
    round.setJoinStyle(Qt::RoundJoin);
    p.drawPath(lens + round.createStroke(lens));
    if (recordDot) {
        p.setBrush(kRecordRed);
        const double d = h * 0.22;
        p.drawEllipse(QRectF(body.left() + body.width() * 0.22 - d / 2, body.center().y() - d / 2, d, d));
    }
}

// The idle record button: a round accent button with a camera, on a soft
// shadow. size is the image's side; the button leaves room for the shadow.
void drawRecordIcon(QPainter &p, const QPointF &centre, double size, double opacity = 1.0)
{
    p.save();
    p.setOpacity(opacity);
    const double d = size * 0.78;
    QRectF circle(centre.x() - d / 2, centre.y() - d / 2, d, d);
    QPainterPath shape;
    shape.addEllipse(circle);
    softShadow(p, shape, int(size * 0.07), 70, QPointF(0, size * 0.025));
    QLinearGradient g(circle.topLeft(), circle.bottomLeft());
    g.setColorAt(0, kAccentLight);
    g.setColorAt(1, kAccentDark);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(circle);
    // white ring inside the edge
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 90), size * 0.018));
    p.drawEllipse(circle.adjusted(size * 0.035, size * 0.035, -size * 0.035, -size * 0.035));
    const double gw = d * 0.5;
    cameraGlyph(p, QRectF(centre.x() - gw / 2, centre.y() - gw * 0.36, gw, gw * 0.72), Qt::white, true);
    p.restore();
}

// ---- frame sets --------------------------------------------------------

void startMovie()
{
    const int W = 800, H = 600, N = 125;
    const QImage logo = renderSvg("appicon.svg", QSize(512, 512));
    const QPointF centre(W / 2.0, H / 2.0);
    for (int i = 0; i < N; ++i) {
        const double t = double(i) / (N - 1);
        QImage img = canvas(W, H);
        QPainter p(&img);
        antialias(p);

        // white card that carries the title, in and out
        const double cardIn = easeOutCubic(phase(t, 0.0, 0.18));
        const double cardOut = easeInOut(phase(t, 0.72, 0.9));
        const double cardAlpha = cardIn * (1 - cardOut);
        if (cardAlpha > 0) {
            const double s = 0.92 + 0.08 * cardIn;
            QRectF card(0, 0, 680 * s, 480 * s);
            card.moveCenter(centre);
            QPainterPath shape;
            shape.addRoundedRect(card, 40, 40);
            p.setOpacity(cardAlpha);
            softShadow(p, shape, 24, 60, QPointF(0, 8));
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::white);
            p.drawPath(shape);
            p.setOpacity(1);
        }

        // ripples that spread from the logo
        const QPointF logoCentre(centre.x(), centre.y() - 50 * (1 - cardOut));
        for (int k = 0; k < 2; ++k) {
            const double r = phase(t, 0.16 + 0.12 * k, 0.56 + 0.12 * k);
            if (r <= 0 || r >= 1)
                continue;
            const double rad = 110 + 120 * easeOutCubic(r);  // stays inside the frame
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(QColor(kAccent.red(), kAccent.green(), kAccent.blue(), int(150 * (1 - r)) * (1 - cardOut)), 6));
            p.drawEllipse(logoCentre, rad, rad);
        }

        // the logo pops in, then turns into the record button
        const double pop = phase(t, 0.06, 0.36);
        const double morph = easeInOut(phase(t, 0.74, 0.96));
        if (pop > 0) {
            const double side = 220 * easeOutBack(pop) * (1 - morph) + 224 * morph;
            QRectF r(0, 0, side, side);
            r.moveCenter(logoCentre);
            p.setOpacity(clamp01(pop * 2) * (1 - morph));
            p.drawImage(r, logo);
            p.setOpacity(1);
            if (morph > 0)
                drawRecordIcon(p, logoCentre, side, morph);
        }

        // the product's name under the logo
        const double title = easeOutCubic(phase(t, 0.34, 0.56)) * (1 - cardOut);
        if (title > 0) {
            QFont f("DejaVu Sans");
            f.setPixelSize(52);
            f.setBold(true);
            p.setFont(f);
            p.setOpacity(title);
            p.setPen(QColor(0x33, 0x33, 0x33));
            QRectF tr(0, centre.y() + 90 + 20 * (1 - title), W, 70);
            QFontMetricsF fm(f);
            const QString norvi = "NorviMerio", share = "Share";
            const double total = fm.horizontalAdvance(norvi + share);
            double x = (W - total) / 2;
            p.drawText(QPointF(x, tr.top() + fm.ascent()), norvi);
            p.setPen(kAccent);
            p.drawText(QPointF(x + fm.horizontalAdvance(norvi), tr.top() + fm.ascent()), share);
            // accent underline
            p.setPen(Qt::NoPen);
            p.setBrush(kAccent);
            const double lw = 90 * easeOutCubic(phase(t, 0.46, 0.62));
            p.drawRoundedRect(QRectF(centre.x() - lw / 2, tr.top() + 84, lw, 8), 4, 4);
            p.setOpacity(1);
        }
        p.end();
        save(img, QString("startmovie/startmovie_%1.png").arg(i, 5, 10, QChar('0')));
    }
}

void countdownMovie()
{
    const int S = 600, N = 75, perDigit = 25;
    const QPointF c(S / 2.0, S / 2.0);
    for (int i = 0; i < N; ++i) {
        const int digit = 3 - i / perDigit;
        const double t = double(i % perDigit) / (perDigit - 1);
        QImage img = canvas(S, S);
        QPainter p(&img);
        antialias(p);
        // dark disc so the digits read on any desktop
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(20, 26, 60, 150));
        p.drawEllipse(c, 250, 250);
        // track and the sweep of this second
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(255, 255, 255, 60), 18, Qt::SolidLine, Qt::RoundCap));
        p.drawEllipse(c, 226, 226);
        p.setPen(QPen(kAccentLight, 18, Qt::SolidLine, Qt::RoundCap));
        const double sweep = 360 * (1 - t);
        const QRectF arc(c.x() - 226, c.y() - 226, 452, 452);
        p.drawArc(arc, 90 * 16, int(sweep * 16));
        // the digit: grows in, settles, fades at the end of its second
        const double in = easeOutBack(phase(t, 0, 0.35));
        const double out = phase(t, 0.8, 1.0);
        QFont f("DejaVu Sans");
        f.setPixelSize(260);
        f.setBold(true);
        QPainterPath glyph;
        glyph.addText(0, 0, f, QString::number(digit));
        const QRectF gb = glyph.boundingRect();
        p.save();
        p.translate(c);
        const double s = 0.6 + 0.4 * in + 0.15 * out;
        p.scale(s, s);
        p.translate(-gb.center());
        p.setOpacity(clamp01(phase(t, 0, 0.2) * 1.5) * (1 - out));
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawPath(glyph);
        p.restore();
        p.end();
        save(img, QString("countdownmovie/countdown%1.png").arg(i, 2, 10, QChar('0')));
    }
}

// ---- single images -------------------------------------------------------

void image(const QString &name, int w, int h, const std::function<void(QPainter &, QRectF)> &draw)
{
    QImage img = canvas(w, h);
    QPainter p(&img);
    antialias(p);
    draw(p, QRectF(0, 0, w, h));
    p.end();
    save(img, name);
}

void crossGlyph(QPainter &p, const QRectF &r, const QColor &color, double width)
{
    p.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(r.topLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomLeft());
}

void hoverDisc(QPainter &p, const QRectF &r, const QColor &color)
{
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawRoundedRect(r.adjusted(2, 2, -2, -2), r.width() * 0.2, r.width() * 0.2);
}

// The dark translucent card behind the toasts.
void darkCard(QPainter &p, const QRectF &r)
{
    QPainterPath shape;
    const QRectF card = r.adjusted(6, 6, -6, -6);
    shape.addRoundedRect(card, 20, 20);
    QLinearGradient g(card.topLeft(), card.bottomLeft());
    g.setColorAt(0, QColor(0x2c, 0x36, 0x6e, 240));
    g.setColorAt(1, QColor(0x1b, 0x21, 0x4a, 240));
    p.setPen(QPen(QColor(255, 255, 255, 40), 2));
    p.setBrush(g);
    p.drawPath(shape);
}

void noticeIcon(QPainter &p, const QRectF &r, const QColor &disc, const QColor &mark)
{
    p.setPen(Qt::NoPen);
    p.setBrush(disc);
    p.drawEllipse(r.adjusted(4, 4, -4, -4));
    p.setBrush(mark);
    const double w = r.width();
    p.drawRoundedRect(QRectF(r.center().x() - w * 0.05, r.top() + w * 0.24, w * 0.1, w * 0.36), w * 0.05, w * 0.05);
    p.drawEllipse(QPointF(r.center().x(), r.top() + w * 0.72), w * 0.065, w * 0.065);
}

void singleImages()
{
    image("recordiconshade.png", 224, 224, [](QPainter &p, QRectF r) { drawRecordIcon(p, r.center(), 224); });

    image("stop.png", 64, 64, [](QPainter &p, QRectF r) {
        p.setPen(Qt::NoPen);
        p.setBrush(kRecordRed);
        p.drawEllipse(r.adjusted(4, 4, -4, -4));
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(22, 22, 20, 20), 4, 4);
    });
    image("clip.png", 64, 64, [](QPainter &p, QRectF r) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 38));
        p.drawEllipse(r.adjusted(4, 4, -4, -4));
        // a photo camera: body, viewfinder bump and lens
        QPainterPath body;
        body.addRoundedRect(QRectF(16, 23, 32, 22), 5, 5);
        body.addRoundedRect(QRectF(25, 19, 14, 8), 3, 3);
        p.setBrush(Qt::white);
        p.drawPath(body.simplified());
        p.setBrush(QColor(0x30, 0x3a, 0x6d));
        p.drawEllipse(QPointF(32, 34), 7.5, 7.5);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(32, 34), 4, 4);
    });

    image("box.png", 808, 458, [](QPainter &p, QRectF r) {
        QPainterPath shape;
        shape.addRoundedRect(r.adjusted(2, 2, -2, -2), 12, 12);
        p.setPen(QPen(kAccent, 4));
        p.setBrush(QColor(0x0b, 0x0e, 0x1c));
        p.drawPath(shape);
        // a camera in the middle while no picture has arrived yet
        p.setOpacity(0.25);
        cameraGlyph(p, QRectF(r.center().x() - 60, r.center().y() - 32, 120, 64), QColor(0x9a, 0xa8, 0xff), false);
    });

    image("back.png", 48, 48, [](QPainter &p, QRectF) {
        p.setPen(QPen(kGreyGlyph, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(28, 13), QPointF(17, 24), QPointF(28, 35)}));
    });
    image("minimize.png", 48, 48, [](QPainter &p, QRectF) {
        p.setPen(QPen(kGreyGlyph, 4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(14, 25), QPointF(34, 25));
    });
    image("minimize_hover.png", 48, 48, [](QPainter &p, QRectF r) {
        hoverDisc(p, r, QColor(0xee, 0xf1, 0xff));
        p.setPen(QPen(kAccent, 4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(14, 25), QPointF(34, 25));
    });
    const auto closeNormal = [](QPainter &p, QRectF) { crossGlyph(p, QRectF(15, 15, 18, 18), kGreyGlyph, 4); };
    const auto closeHover = [](QPainter &p, QRectF r) {
        hoverDisc(p, r, QColor(0xff, 0x4d, 0x4f));
        crossGlyph(p, QRectF(15, 15, 18, 18), Qt::white, 4);
    };
    image("close.png", 48, 48, closeNormal);
    image("close_hover.png", 48, 48, closeHover);
    image("about/close.png", 48, 48, closeNormal);
    image("about/close_hover.png", 48, 48, closeHover);
    image("close_active.png", 40, 40, [](QPainter &p, QRectF) {
        crossGlyph(p, QRectF(12, 12, 16, 16), QColor(255, 255, 255, 220), 3.5);
    });

    image("recordfinish.png", 228, 216, [](QPainter &p, QRectF) {
        // a video card with a play mark and a tick badge
        QRectF card(18, 36, 170, 124);
        QPainterPath shape;
        shape.addRoundedRect(card, 18, 18);
        softShadow(p, shape, 10, 40, QPointF(0, 6));
        QLinearGradient g(card.topLeft(), card.bottomLeft());
        g.setColorAt(0, kAccentLight);
        g.setColorAt(1, kAccentDark);
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawPath(shape);
        p.setBrush(QColor(255, 255, 255, 60));
        p.drawRoundedRect(QRectF(34, 134, 138, 8), 4, 4);
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(34, 134, 70, 8), 4, 4);
        QPainterPath play;
        play.moveTo(88, 66);
        play.lineTo(124, 88);
        play.lineTo(88, 110);
        play.closeSubpath();
        QPainterPathStroker round;
        round.setWidth(8);
        round.setJoinStyle(Qt::RoundJoin);
        p.drawPath(play + round.createStroke(play));
        const QPointF bc(176, 160);
        p.setBrush(Qt::white);
        p.drawEllipse(bc, 38, 38);
        p.setBrush(QColor(0x2f, 0xc2, 0x7a));
        p.drawEllipse(bc, 31, 31);
        p.setPen(QPen(Qt::white, 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({bc + QPointF(-14, 1), bc + QPointF(-4, 11), bc + QPointF(15, -10)}));
    });

    image("qrcodeback.png", 288, 288, [](QPainter &p, QRectF r) {
        p.setPen(QPen(QColor(0xe8, 0xe8, 0xe8), 2));
        p.setBrush(QColor(0xfa, 0xfb, 0xff));
        p.drawRoundedRect(r.adjusted(1, 1, -1, -1), 12, 12);
        // scanner corners
        p.setPen(QPen(kAccent, 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        const double a = 10, l = 40, e = 278;
        p.drawPolyline(QPolygonF({QPointF(a, a + l), QPointF(a, a), QPointF(a + l, a)}));
        p.drawPolyline(QPolygonF({QPointF(e - l, a), QPointF(e, a), QPointF(e, a + l)}));
        p.drawPolyline(QPolygonF({QPointF(a, e - l), QPointF(a, e), QPointF(a + l, e)}));
        p.drawPolyline(QPolygonF({QPointF(e - l, e), QPointF(e, e), QPointF(e, e - l)}));
    });

    image("progressback.png", 720, 674, [](QPainter &p, QRectF r) { darkCard(p, r); });
    image("disconnectback.png", 720, 548, [](QPainter &p, QRectF r) { darkCard(p, r); });
    image("updatelistback.png", 744, 604, [](QPainter &p, QRectF r) { darkCard(p, r); });

    image("prompticon.png", 112, 112, [](QPainter &p, QRectF r) { noticeIcon(p, r, kAccent, Qt::white); });
    image("prompticonrevert.png", 112, 112, [](QPainter &p, QRectF r) { noticeIcon(p, r, Qt::white, kAccent); });
    image("promptlittle.png", 28, 28, [](QPainter &p, QRectF) {
        // a small video file
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(3, 5, 22, 18), 4, 4);
        p.setBrush(kAccent);
        QPainterPath play;
        play.moveTo(11, 9.5);
        play.lineTo(18.5, 14);
        play.lineTo(11, 18.5);
        play.closeSubpath();
        p.drawPath(play);
    });

    // The program's icon: tray (.ico), about logo.
    save(renderSvg("appicon.svg", QSize(128, 128)), "merioshare.ico");
    image("about/merioshare.png", 178, 140, [](QPainter &p, QRectF r) {
        const QImage logo = renderSvg("appicon.svg", QSize(140, 140));
        p.drawImage(QPointF((r.width() - 140) / 2, 0), logo);
    });
}

bool writeQrc()
{
    QFile f(g_outDir + "/kx_ui_images.qrc");
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        fprintf(stderr, "imagegen: cannot write %s: %s\n", qPrintable(f.fileName()), qPrintable(f.errorString()));
        return false;
    }
    QTextStream out(&f);
    out << "<!DOCTYPE RCC><RCC version=\"1.0\">\n<qresource prefix=\"/img\">\n";
    for (const QString &file : qAsConst(g_written))
        out << "  <file>" << file << "</file>\n";
    out << "</qresource>\n</RCC>\n";
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        fprintf(stderr, "usage: imagegen <svg-source-dir> <output-dir>\n");
        return 2;
    }
    g_svgDir = QString::fromLocal8Bit(argv[1]);
    g_outDir = QString::fromLocal8Bit(argv[2]);
    if (!QDir().mkpath(g_outDir + "/images")) {
        fprintf(stderr, "imagegen: cannot create %s\n", qPrintable(g_outDir));
        return 1;
    }
    singleImages();
    startMovie();
    countdownMovie();
    if (g_failed || !writeQrc())
        return 1;
    printf("imagegen: %d images in %s\n", int(g_written.size()), qPrintable(g_outDir));
    return 0;
}
