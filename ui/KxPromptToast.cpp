#include "KxPromptToast.h"

#include "KxUiCommon.h"

#include <QEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QtDebug>

#include <algorithm>

class KxPromptToastPrivate {
public:
    QWidget *m_pBack = nullptr;
    QLabel *m_pIcon = nullptr;
    QLabel *m_pText = nullptr;
};

KxPromptToast::KxPromptToast(const QString &text, int life, int fontSize, double *scale, bool withIcon,
                             QWidget *parent)
    : QWidget(parent), m_pData(new KxPromptToastPrivate)
{
    kxInitUiResources();
    const double s = kxScaleOf(scale);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);

    m_pData->m_pBack = kxAddBackWidget(
        this, "backWidget", QString("background-color: #99000000; border-radius:%1px;").arg(kxScaledReal(4, s)));

    m_pData->m_pText = new QLabel(text, m_pData->m_pBack);
    m_pData->m_pText->setObjectName("textLabel");
    m_pData->m_pText->setAlignment(Qt::AlignCenter);
    m_pData->m_pText->setStyleSheet(QString("QLabel{font-size:%1px; font-family:Microsoft YaHei;color:#ffffff; "
                                            "background-color:transparent; }")
                                        .arg(kxScaledReal(fontSize, s)));
    // Measure with the font the style sheet gives the label.
    m_pData->m_pText->ensurePolished();
    const QFontMetrics metrics(m_pData->m_pText->font());
    int textWidth = metrics.horizontalAdvance(text);
    int textHeight = kxScaled(26, s);
    // A long text (a folder and a reason) wraps instead of making a toast
    // wider than the screen.
    const int maxWidth = kxScaled(560, s);
    if (textWidth > maxWidth) {
        m_pData->m_pText->setWordWrap(true);
        const QRect wrapped =
            metrics.boundingRect(QRect(0, 0, maxWidth, 1 << 20), Qt::TextWordWrap | Qt::AlignCenter, text);
        textWidth = std::max(maxWidth, wrapped.width());
        textHeight = wrapped.height() + kxScaled(8, s);
    }
    m_pData->m_pText->setFixedSize(textWidth, textHeight);

    auto *layout = new QVBoxLayout(m_pData->m_pBack);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    int height = 58;
    if (withIcon) {
        m_pData->m_pIcon = new QLabel(m_pData->m_pBack);
        m_pData->m_pIcon->setObjectName("iconLabel");
        m_pData->m_pIcon->setFixedSize(kxScaled(56, s), kxScaled(56, s));
        m_pData->m_pIcon->setStyleSheet(
            "background-color: transparent; border-image: url(:/img/images/prompticon.png);");
        layout->addStretch(40);
        layout->addWidget(m_pData->m_pIcon, 0, Qt::AlignHCenter);
        layout->addStretch(18);
        layout->addWidget(m_pData->m_pText, 0, Qt::AlignHCenter);
        layout->addStretch(42);
        height = 182;
    } else {
        layout->addStretch(16);
        layout->addWidget(m_pData->m_pText, 0, Qt::AlignHCenter);
        layout->addStretch(16);
    }
    setFixedSize(textWidth + kxScaled(32, s), kxScaled(height, s) + textHeight - kxScaled(26, s));

    QTimer::singleShot(life * 1000, this, &QObject::deleteLater);
    for (QObject *o : {static_cast<QObject *>(this), static_cast<QObject *>(m_pData->m_pBack),
                       static_cast<QObject *>(m_pData->m_pIcon), static_cast<QObject *>(m_pData->m_pText)}) {
        if (o)
            o->installEventFilter(this);
    }
}

KxPromptToast::~KxPromptToast()
{
    delete m_pData;
}

void KxPromptToast::showOnScreenCenter()
{
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        const QSize sz = screen->size();
        move((sz.width() - width()) / 2, (sz.height() - height()) / 2);
    }
    show();
    activateWindow();
}

void KxPromptToast::showOnRefWidgetCenter(QWidget *ref)
{
    if (ref) {
        const QPoint global = ref->mapToGlobal(QPoint(0, 0));
        move(global.x() + (ref->width() - width()) / 2, global.y() + (ref->height() - height()) / 2);
    }
    show();
    activateWindow();
}

bool KxPromptToast::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonRelease) {
        qDebug() << "KxPromptToast::eventFilter";
        deleteLater();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
