#include "KxPromptDlgShell.h"

#include "KxUiCommon.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtDebug>

class KxPromptDlgShellPrivate {
public:
    double *m_pScale = nullptr;
    QWidget *m_pTitleWidget = nullptr;
    QVBoxLayout *m_pFrameLayout = nullptr;
    KxPromptDlgShellInnerWidget *m_pInner = nullptr;
    QPoint m_pressPos;
    bool m_bDragging = false;
};

KxPromptDlgShell::KxPromptDlgShell(const QString &title, double *scale, QWidget *parent)
    : QDialog(parent), m_pData(new KxPromptDlgShellPrivate)
{
    kxInitUiResources();
    m_pData->m_pScale = scale;
    const double s = kxScaleOf(scale);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setWindowModality(Qt::ApplicationModal);

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *frame = new QFrame(this);
    frame->setObjectName("mWidget");
    frame->setStyleSheet(QString("QFrame#mWidget{ border:1px solid #d9d9d9; border-radius: %1px;background-color: "
                                 "#ffffff;}")
                             .arg(kxScaledFloor(4, s)));
    outer->addWidget(frame);
    m_pData->m_pFrameLayout = new QVBoxLayout(frame);
    m_pData->m_pFrameLayout->setContentsMargins(1, 1, 1, 1);
    m_pData->m_pFrameLayout->setSpacing(0);

    m_pData->m_pTitleWidget = new QWidget(frame);
    m_pData->m_pTitleWidget->setObjectName("m_pTitleWidget");
    m_pData->m_pTitleWidget->setFixedHeight(kxScaled(40, s));
    m_pData->m_pTitleWidget->setStyleSheet(QString("QWidget#m_pTitleWidget{background-color: #ffffff; border-bottom: "
                                                   "1px solid #e8e8e8;border-radius: %1px;}")
                                               .arg(kxScaledFloor(4, s)));
    auto *titleLayout = new QHBoxLayout(m_pData->m_pTitleWidget);
    titleLayout->setContentsMargins(kxScaled(16, s), 0, kxScaled(12, s), 0);
    auto *titleLabel = new QLabel(title, m_pData->m_pTitleWidget);
    titleLabel->setObjectName("titleLabel");
    titleLabel->setFixedSize(kxScaled(320, s), kxScaled(20, s));
    titleLabel->setStyleSheet(QString("QLabel{font-size:%1px; font-family:Microsoft "
                                      "YaHei;color:#333333;background-color: #ffffff; }")
                                  .arg(kxScaledFloor(16, s)));
    auto *exitBtn = new QPushButton(m_pData->m_pTitleWidget);
    exitBtn->setObjectName("exitBtn");
    exitBtn->setFixedSize(kxScaled(24, s), kxScaled(24, s));
    exitBtn->setFocusPolicy(Qt::NoFocus);
    exitBtn->setStyleSheet(QString("QPushButton#exitBtn{background-color:transparent;border-image: url(%1);}"
                                   "QPushButton#exitBtn:pressed{background-color:transparent;border-image: url(%2);}")
                               .arg(":/img/images/about/close.png", ":/img/images/about/close_hover.png"));
    connect(exitBtn, &QPushButton::clicked, this, &QDialog::close);
    titleLayout->addWidget(titleLabel);
    titleLayout->addStretch();
    titleLayout->addWidget(exitBtn);
    m_pData->m_pFrameLayout->addWidget(m_pData->m_pTitleWidget);
}

KxPromptDlgShell::~KxPromptDlgShell()
{
    delete m_pData;
}

double KxPromptDlgShell::scale() const
{
    return kxScaleOf(m_pData->m_pScale);
}

void KxPromptDlgShell::setInnerWidget(KxPromptDlgShellInnerWidget *inner)
{
    if (m_pData->m_pInner) {
        m_pData->m_pFrameLayout->removeWidget(m_pData->m_pInner);
        delete m_pData->m_pInner;
    }
    m_pData->m_pInner = inner;
    if (!inner)
        return;
    m_pData->m_pFrameLayout->addWidget(inner, 1);
    connect(inner, &KxPromptDlgShellInnerWidget::sigConfirm, this, &QDialog::accept);
    connect(inner, &KxPromptDlgShellInnerWidget::sigCancel, this, &QDialog::close);
}

KxPromptDlgShellInnerWidget *KxPromptDlgShell::innerWidget() const
{
    return m_pData->m_pInner;
}

void KxPromptDlgShell::onConfirm()
{
    qDebug() << "KxPromptDlgShell::onConfirm";
    accept();
}

void KxPromptDlgShell::mousePressEvent(QMouseEvent *event)
{
    const QRect titleRect(m_pData->m_pTitleWidget->mapTo(this, QPoint(0, 0)), m_pData->m_pTitleWidget->size());
    if (event->button() == Qt::LeftButton && titleRect.contains(event->pos())) {
        m_pData->m_bDragging = true;
        m_pData->m_pressPos = event->pos();
    }
    QDialog::mousePressEvent(event);
}

void KxPromptDlgShell::mouseMoveEvent(QMouseEvent *event)
{
    if (m_pData->m_bDragging && (event->buttons() & Qt::LeftButton))
        move(pos() + event->pos() - m_pData->m_pressPos);
    QDialog::mouseMoveEvent(event);
}

void KxPromptDlgShell::mouseReleaseEvent(QMouseEvent *event)
{
    m_pData->m_bDragging = false;
    QDialog::mouseReleaseEvent(event);
}
