#include "KxMerioToastShell.h"

#include "KxUiCommon.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QtDebug>

class KxMerioToastShellPrivate {
public:
    double *m_pScale = nullptr;
    QWidget *m_pBack = nullptr;
    QVBoxLayout *m_pLayout = nullptr;
    QWidget *m_pContent = nullptr;
};

KxMerioToastShell::KxMerioToastShell(bool showCloseBtn, const QString &background, const QSize &size, double *scale,
                                     QWidget *parent)
    : KxMovableDlg(parent), m_pData(new KxMerioToastShellPrivate)
{
    kxInitUiResources();
    m_pData->m_pScale = scale;
    const double s = kxScaleOf(scale);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(kxScaled(size.width(), s), kxScaled(size.height(), s));

    m_pData->m_pBack =
        kxAddBackWidget(this, "backWidget", QString("QWidget#backWidget{border-image: url(%1);}").arg(background));

    m_pData->m_pLayout = new QVBoxLayout(m_pData->m_pBack);
    const int margin = kxScaled(10, s);
    m_pData->m_pLayout->setContentsMargins(margin, margin, margin, margin);
    m_pData->m_pLayout->setSpacing(0);
    auto *top = new QHBoxLayout;
    top->setContentsMargins(0, 0, 0, 0);
    top->addSpacing(width() - kxScaled(60, s));
    auto *closeBtn = new QPushButton(m_pData->m_pBack);
    closeBtn->setObjectName("closeBtn");
    closeBtn->setFixedSize(kxScaled(20, s), kxScaled(20, s));
    closeBtn->setFocusPolicy(Qt::NoFocus);
    closeBtn->setStyleSheet("border-image: url(:/img/images/close_active.png);");
    closeBtn->setVisible(showCloseBtn);
    connect(closeBtn, &QPushButton::clicked, this, &QDialog::reject);
    top->addWidget(closeBtn);
    top->addSpacing(kxScaled(10, s));
    m_pData->m_pLayout->addLayout(top);
}

KxMerioToastShell::~KxMerioToastShell()
{
    delete m_pData;
}

double KxMerioToastShell::scale() const
{
    return kxScaleOf(m_pData->m_pScale);
}

void KxMerioToastShell::setContentWidget(QWidget *content)
{
    const double s = scale();
    if (m_pData->m_pContent) {
        m_pData->m_pLayout->removeWidget(m_pData->m_pContent);
        delete m_pData->m_pContent;
    }
    m_pData->m_pContent = content;
    content->setParent(m_pData->m_pBack);
    content->setFixedSize(width() - kxScaled(40, s), height() - kxScaled(80, s));
    // The content sits at the bottom so its button bar closes the card.
    m_pData->m_pLayout->addStretch();
    m_pData->m_pLayout->addWidget(content, 0, Qt::AlignHCenter);
}

void KxMerioToastShell::moveToRefWidgetCenter(QWidget *ref)
{
    if (!ref)
        return moveToScreenCenter();
    const QPoint global = ref->mapToGlobal(QPoint(0, 0));
    move(global.x() + (ref->width() - width()) / 2, global.y() + (ref->height() - height()) / 2);
}

void KxMerioToastShell::moveToScreenCenter()
{
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        const QSize sz = screen->size();
        move((sz.width() - width()) / 2, (sz.height() - height()) / 2);
    }
}

QWidget *kxToastButtonBar(const QString &leftName, const QString &leftText, const QString &rightName,
                          const QString &rightText, double scale, QPushButton **left, QPushButton **right,
                          QWidget *parent)
{
    auto *bar = new QWidget(parent);
    bar->setObjectName("bottomWidget");
    bar->setFixedSize(kxScaled(320, scale), kxScaled(48, scale));
    bar->setStyleSheet("QWidget#bottomWidget{border-top: 1px solid #66ffffff;}");
    auto *layout = new QHBoxLayout(bar);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    const auto makeButton = [&](const QString &name, const QString &text) {
        auto *btn = new QPushButton(text, bar);
        btn->setObjectName(name);
        btn->setFixedSize(kxScaled(160, scale), kxScaled(49, scale) - 1);
        btn->setCursor(Qt::PointingHandCursor);
        btn->setFocusPolicy(Qt::NoFocus);
        btn->setStyleSheet(QString("QPushButton{background-color: transparent; border: none; color: #ffffff; "
                                   "font-size:%1px; font-family:Microsoft YaHei;}"
                                   "QPushButton:pressed{background-color: #1affffff;}")
                               .arg(kxScaledFloor(16, scale)));
        return btn;
    };
    *left = makeButton(leftName, leftText);
    *right = makeButton(rightName, rightText);
    auto *sep = new QLabel(bar);
    sep->setObjectName("seperator");
    sep->setFixedSize(1, kxScaled(48, scale));
    sep->setStyleSheet("QLabel#seperator{background-color: #66ffffff; }");
    layout->addWidget(*left);
    layout->addWidget(sep);
    layout->addWidget(*right);
    return bar;
}

namespace {
QLabel *toastIcon(double s, QWidget *parent)
{
    auto *icon = new QLabel(parent);
    icon->setObjectName("iconLabel");
    icon->setFixedSize(kxScaled(56, s), kxScaled(56, s));
    icon->setStyleSheet("background-color: transparent; border-image: url(:/img/images/prompticonrevert.png);");
    return icon;
}

// The content's layout, started with the notice icon at the top.
QVBoxLayout *toastContentLayout(double s, QWidget *inner)
{
    auto *layout = new QVBoxLayout(inner);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addStretch(10);
    layout->addWidget(toastIcon(s, inner), 0, Qt::AlignHCenter);
    layout->addStretch(16);
    return layout;
}

QLabel *toastLine(const QString &name, int w, double s, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    label->setFixedSize(kxScaled(w, s), kxScaled(24, s));
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet(QString("QLabel#%1{color: #ffffff; font-size:%2px; font-family:Microsoft YaHei; "
                                 "background-color: transparent;}")
                             .arg(name)
                             .arg(kxScaledFloor(14, s)));
    return label;
}
} // namespace

ProgressInnerWidget::ProgressInnerWidget(double scale, QWidget *parent) : QWidget(parent)
{
    const double s = scale;
    auto *layout = toastContentLayout(s, this);
    m_pInfo1Label = toastLine("m_pInfo1Label", 200, s, this);
    m_pInfo2Label = toastLine("m_pInfo2Label", 220, s, this);
    layout->addWidget(m_pInfo1Label, 0, Qt::AlignHCenter);
    layout->addStretch(4);
    layout->addWidget(m_pInfo2Label, 0, Qt::AlignHCenter);
    layout->addStretch(10);
    m_pProgressBar = new QProgressBar(this);
    m_pProgressBar->setObjectName("m_pProgressBar");
    m_pProgressBar->setFixedSize(kxScaled(220, s), kxScaled(6, s));
    m_pProgressBar->setRange(0, 100);
    m_pProgressBar->setValue(0);
    m_pProgressBar->setTextVisible(false);
    m_pProgressBar->setStyleSheet(QString("QProgressBar {background-color: #5cffffff;  border-radius: %1px;}"
                                          "QProgressBar::chunk { background-color: #ffffff;  border-radius: %1px; }")
                                      .arg(kxScaledFloor(3, s)));
    layout->addWidget(m_pProgressBar, 0, Qt::AlignHCenter);
    layout->addStretch(24);
    QPushButton *confirm = nullptr, *cancel = nullptr;
    layout->addWidget(kxToastButtonBar("confirmBtn", tr("ID_CONFIRM"), "cancelBtn", tr("ID_CANCEL"), s, &confirm,
                                       &cancel, this),
                      0, Qt::AlignHCenter);
    connect(confirm, &QPushButton::clicked, this, &ProgressInnerWidget::sigToExit);
    connect(cancel, &QPushButton::clicked, this, &ProgressInnerWidget::sigToContinue);
    updateProcess(0, 0);
}

void ProgressInnerWidget::updateProcess(const int &vnum, const int &percent)
{
    qDebug() << "ProgressInnerWidget::updateProcess, vnum: " << vnum << "percent: " << percent;
    m_pInfo1Label->setText(tr("ID_REMAIN_VIDEO_NUM").arg(vnum));
    m_pInfo2Label->setText(tr("ID_PROGRESS_PERCENT").arg(percent));
    m_pProgressBar->setValue(percent);
}

KxProgressToast::KxProgressToast(double *scale, QWidget *parent)
    : KxMerioToastShell(false, ":/img/images/progressback.png", QSize(360, 337), scale, parent)
{
    auto *inner = new ProgressInnerWidget(this->scale());
    setContentWidget(inner);
    connect(this, &KxProgressToast::sigUpdateProgress, inner, &ProgressInnerWidget::updateProcess);
    connect(inner, &ProgressInnerWidget::sigToExit, this, &KxProgressToast::onExit);
    connect(inner, &ProgressInnerWidget::sigToContinue, this, &KxProgressToast::onContinue);
}

void KxProgressToast::onExit()
{
    qDebug() << "KxProgressToast::onExit";
    accept();
}

void KxProgressToast::onContinue()
{
    qDebug() << "KxProgressToast::onContinue";
    reject();
}

SelectInnerWidget::SelectInnerWidget(double scale, QWidget *parent) : QWidget(parent)
{
    const double s = scale;
    auto *layout = toastContentLayout(s, this);
    // The question says what happens to the lesson: room for three lines.
    auto *info = toastLine("m_pInfo1Label", 300, s, this);
    info->setFixedHeight(kxScaled(66, s));
    info->setWordWrap(true);
    info->setText(tr("ID_VIDEO_RECORDING"));
    layout->addWidget(info, 0, Qt::AlignHCenter);
    layout->addStretch(4);
    QPushButton *exitBtn = nullptr, *recordBtn = nullptr;
    layout->addWidget(kxToastButtonBar("m_pExitBtn", tr("ID_BTN_EXIT"), "m_pRecordBtn", tr("ID_BTN_RECORD"), s,
                                       &exitBtn, &recordBtn, this),
                      0, Qt::AlignHCenter);
    connect(exitBtn, &QPushButton::clicked, this, &SelectInnerWidget::sigToExit);
    connect(recordBtn, &QPushButton::clicked, this, &SelectInnerWidget::sigToContinueRecord);
}

KxSelectToast::KxSelectToast(double *scale, QWidget *parent)
    : KxMerioToastShell(false, ":/img/images/disconnectback.png", QSize(360, 274), scale, parent)
{
    auto *inner = new SelectInnerWidget(this->scale());
    setContentWidget(inner);
    connect(inner, &SelectInnerWidget::sigToExit, this, &KxSelectToast::onExitRecord);
    connect(inner, &SelectInnerWidget::sigToContinueRecord, this, &KxSelectToast::onContinueRecord);
}

void KxSelectToast::showOnRefWidgetCenter(QWidget *ref)
{
    moveToRefWidgetCenter(ref);
    show();
}

void KxSelectToast::onContinueRecord()
{
    qDebug() << "KxSelectToast::onContinueRecord";
    reject();
}

void KxSelectToast::onExitRecord()
{
    qDebug() << "KxSelectToast::onExitRecord";
    accept();
}
