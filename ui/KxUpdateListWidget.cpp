#include "KxUpdateListWidget.h"

#include "KxUiCommon.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QtDebug>

namespace {
// More rows than this need the scroll bar.
constexpr int kVisibleRows = 4;
} // namespace

SingleLine::SingleLine(const QString &name, double scale, QWidget *parent) : QWidget(parent)
{
    const double s = scale;
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(kxScaled(12, s), 0, kxScaled(8, s), 0);
    layout->setSpacing(kxScaled(8, s));
    auto *icon = new QLabel(this);
    icon->setFixedSize(kxScaled(14, s), kxScaled(14, s));
    icon->setStyleSheet("background-color: transparent; border-image: url(:/img/images/promptlittle.png);");
    m_pNameLabel = new QLabel(this);
    m_pNameLabel->setFixedSize(kxScaled(250, s), kxScaled(20, s));
    m_pNameLabel->setStyleSheet(QString("QLabel{color: #ffffff; font-size:%1px; font-family:Microsoft YaHei; "
                                        "background-color: transparent;}")
                                    .arg(kxScaledFloor(12, s)));
    m_pNameLabel->setText(m_pNameLabel->fontMetrics().elidedText(name, Qt::ElideMiddle, m_pNameLabel->width()));
    m_pNameLabel->setToolTip(name);
    layout->addWidget(icon);
    layout->addWidget(m_pNameLabel);
    layout->addStretch();
}

QString SingleLine::name() const
{
    return m_pNameLabel->toolTip();
}

KxUpdateWidget::KxUpdateWidget(double scale, QWidget *parent) : QListWidget(parent), m_dScale(scale)
{
    const double s = scale;
    setFocusPolicy(Qt::NoFocus);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setStyleSheet(QString("QListWidget{background-color: transparent; outline: none; border: none; border-radius: %1px; "
                          "color: #ffffff;}"
                          "QListWidget::item{height: %2px; color: #ffffff; border: none;}"
                          "QListWidget::item:selected{background-color: #1affffff;}")
                      .arg(kxScaledFloor(4, s))
                      .arg(kxScaled(30, s)));
    verticalScrollBar()->setStyleSheet(
        QString("QScrollBar:vertical{width: %1px; background: #51ffffff; border: none; border-radius: %2px; margin: 0px;}"
                "QScrollBar::handle:vertical{background: #b7ffffff; border-radius: %2px; min-height: %3px;}"
                "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical{height: 0px; border: none; background: none;}"
                "QScrollBar::up-arrow:vertical, QScrollBar::down-arrow:vertical{width: 0px; height: 0px;}"
                "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical{background: none;}")
            .arg(kxScaled(8, s))
            .arg(kxScaledFloor(4, s))
            .arg(kxScaled(20, s)));
}

void KxUpdateWidget::setDatas(const QStringList &fns)
{
    qDebug() << "KxUpdateWidget::setDatas" << fns.size();
    for (int i = count() - 1; i >= 0; --i) {
        QListWidgetItem *it = item(i);
        delete itemWidget(it);
        delete takeItem(i);
    }
    clear();
    for (const QString &name : fns) {
        auto *it = new ListWidgetItem(this);
        it->setSizeHint(QSize(0, kxScaled(30, m_dScale)));
        setItemWidget(it, new SingleLine(name, m_dScale, this));
    }
    if (count() > 0)
        setCurrentRow(0);
    setVerticalScrollBarPolicy(fns.size() > kVisibleRows ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
}

class KxUpdateListWidgetPrivate {
public:
    KxUpdateWidget *m_pList = nullptr;
};

KxUpdateListWidget::KxUpdateListWidget(double *scale, QWidget *parent)
    : KxMovableWidget(parent), m_pData(new KxUpdateListWidgetPrivate)
{
    kxInitUiResources();
    const double s = kxScaleOf(scale);
    kxMakeFloating(this);
    setFixedSize(kxScaled(372, s), kxScaled(302, s));

    auto *back = kxAddBackWidget(this, "backWidget",
                                 QString("QWidget#backWidget{ border-radius: %1px;border-image: "
                                         "url(:/img/images/updatelistback.png);}")
                                     .arg(kxScaledFloor(4, s)));

    auto *layout = new QVBoxLayout(back);
    layout->setContentsMargins(0, kxScaled(24, s), 0, 0);
    layout->setSpacing(0);
    auto *info = new QLabel(tr("ID_DISCONNECT_INFO"), back);
    info->setObjectName("m_pInfoLabel");
    info->setFixedSize(kxScaled(300, s), kxScaled(20, s));
    info->setAlignment(Qt::AlignCenter);
    info->setStyleSheet(QString("QLabel#m_pInfoLabel{color: #ffffff; font-size:%1px; font-family:Microsoft YaHei; "
                                "background-color: transparent;}")
                            .arg(kxScaledFloor(14, s)));
    layout->addWidget(info, 0, Qt::AlignHCenter);
    layout->addStretch(16);

    auto *listBack = new QWidget(back);
    listBack->setObjectName("listBackWidget");
    listBack->setFixedSize(kxScaled(296, s), kxScaled(140, s));
    listBack->setStyleSheet("QWidget#listBackWidget{background-color: #1f000000; }");
    auto *listLayout = new QVBoxLayout(listBack);
    listLayout->setContentsMargins(0, kxScaled(10, s), 0, kxScaled(10, s));
    m_pData->m_pList = new KxUpdateWidget(s, listBack);
    m_pData->m_pList->setFixedSize(kxScaled(296, s), kxScaled(120, s));
    listLayout->addWidget(m_pData->m_pList);
    layout->addWidget(listBack, 0, Qt::AlignHCenter);
    layout->addStretch(22);

    auto *ok = new QPushButton(tr("ID_OK"), back);
    ok->setObjectName("m_pOKBtn");
    ok->setFixedSize(kxScaled(320, s), kxScaled(48, s));
    ok->setCursor(Qt::PointingHandCursor);
    ok->setFocusPolicy(Qt::NoFocus);
    ok->setStyleSheet(QString("QPushButton#m_pOKBtn{background-color: transparent; border: none; border-top: 1px solid "
                              "#66ffffff; color: #ffffff; font-size:%1px; font-family:Microsoft YaHei;}")
                          .arg(kxScaledFloor(16, s)));
    layout->addWidget(ok, 0, Qt::AlignHCenter);
    connect(ok, &QPushButton::clicked, this, &QObject::deleteLater);
}

KxUpdateListWidget::~KxUpdateListWidget()
{
    delete m_pData;
}

void KxUpdateListWidget::setDatas(const QStringList &fns)
{
    m_pData->m_pList->setDatas(fns);
}

KxUpdateWidget *KxUpdateListWidget::listWidget() const
{
    return m_pData->m_pList;
}

void KxUpdateListWidget::hideEvent(QHideEvent *event)
{
    KxMovableWidget::hideEvent(event);
}
