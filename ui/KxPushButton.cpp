#include "KxPushButton.h"

#include "KxUiCommon.h"

class KxPushButtonPrivate {
public:
    double *m_pScale = nullptr;
    QString m_strImage;

    QString style(bool pressed) const
    {
        const int m = kxScaledFloor(2, kxScaleOf(m_pScale));
        if (pressed)
            return QString("QPushButton{ margin: %1 0 0 %1; border-image: url(%2); }").arg(m).arg(m_strImage);
        return QString("QPushButton{ margin: 0 %1 %1 0; border-image: url(%2); }").arg(m).arg(m_strImage);
    }
};

KxPushButton::KxPushButton(const QString &imagePath, double *scale, QWidget *parent)
    : QPushButton(parent), m_pData(new KxPushButtonPrivate)
{
    kxInitUiResources();
    m_pData->m_pScale = scale;
    m_pData->m_strImage = imagePath;
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
    setStyleSheet(m_pData->style(false));
}

KxPushButton::~KxPushButton()
{
    delete m_pData;
}

void KxPushButton::mousePressEvent(QMouseEvent *event)
{
    setStyleSheet(m_pData->style(true));
    QPushButton::mousePressEvent(event);
}

void KxPushButton::mouseReleaseEvent(QMouseEvent *event)
{
    setStyleSheet(m_pData->style(false));
    QPushButton::mouseReleaseEvent(event);
}
