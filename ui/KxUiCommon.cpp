#include "KxUiCommon.h"

#include <QFont>
#include <QFontDatabase>
#include <QVBoxLayout>
#include <QWidget>
#include <QtDebug>

#include <cmath>

int kxScaled(double base, double scale)
{
    return static_cast<int>(base * scale);
}

int kxScaledFloor(double base, double scale)
{
    return static_cast<int>(std::floor(base * scale));
}

QString kxScaledReal(double base, double scale)
{
    return QString::number(base * scale, 'g', 12);
}

double kxScaleOf(const double *scale)
{
    return scale ? *scale : 1.0;
}

void kxMakeFloating(QWidget *widget)
{
    widget->setWindowFlags(Qt::FramelessWindowHint | Qt::Tool | Qt::WindowStaysOnTopHint);
    widget->setAttribute(Qt::WA_TranslucentBackground);
}

QWidget *kxAddBackWidget(QWidget *owner, const QString &objectName, const QString &style)
{
    auto *outer = new QVBoxLayout(owner);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *back = new QWidget(owner);
    back->setObjectName(objectName);
    back->setStyleSheet(style);
    outer->addWidget(back);
    return back;
}

void kxRaiseOnTop(QWidget *widget)
{
    // X11 has no "topmost layer" call: the window manager keeps windows with
    // the stays-on-top hint (set at creation) above the others, and a window
    // that bypasses the manager is stacked by raise() alone.
    widget->raise();
}

static void initResources()
{
    Q_INIT_RESOURCE(kx_ui_images);
}

void kxInitUiResources()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    initResources();
}

void kxInstallFontFallbacks()
{
    // The style sheets name the Windows font; on Linux a CJK font installed
    // by the set-up script stands in for it, so Chinese texts have glyphs and
    // keep the same weight as the Latin ones.
    static const char *const candidates[] = {
        "WenQuanYi Micro Hei", "Noto Sans CJK SC", "Noto Sans SC", "Source Han Sans SC",
        "WenQuanYi Zen Hei", "Droid Sans Fallback",
    };
    const QStringList families = QFontDatabase().families();
    QStringList found;
    for (const char *name : candidates) {
        if (families.contains(QLatin1String(name), Qt::CaseInsensitive))
            found << QLatin1String(name);
    }
    if (found.isEmpty()) {
        qWarning() << "kxInstallFontFallbacks, no CJK font installed; Chinese texts may show boxes";
        found << QStringLiteral("DejaVu Sans");
    }
    QFont::insertSubstitutions(QStringLiteral("Microsoft YaHei"), found);
    qDebug() << "kxInstallFontFallbacks, Microsoft YaHei ->" << found;
}
