#include "KxShareWidget.h"

#include "KxAddActionByQueue.h"
#include "KxMerioSettingsData.h"
#include "KxQREncode.h"
#include "KxUiCommon.h"

#include <QDesktopServices>
#include <QDir>
#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>
#include <QtDebug>

namespace {
const char *const kQrFileName = "扫码分享.jpg";

QLabel *textLabel(const QString &text, int px, const char *color, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet(QString("font-size:%1px; font-family:Microsoft YaHei; color:%2; background-color: transparent;")
                             .arg(px)
                             .arg(color));
    return label;
}

QPushButton *titleButton(const QString &name, const QString &normal, const QString &pressed, int side,
                         QWidget *parent)
{
    auto *btn = new QPushButton(parent);
    btn->setObjectName(name);
    btn->setFixedSize(side, side);
    btn->setFocusPolicy(Qt::NoFocus);
    btn->setCursor(Qt::PointingHandCursor);
    btn->setStyleSheet(QString("QPushButton#%1{background-color: transparent; border-image: url(%2);}"
                               "QPushButton#%1:hover, QPushButton#%1:pressed{border-image: url(%3);}")
                           .arg(name, normal, pressed));
    return btn;
}
} // namespace

class KxShareWidgetPrivate {
public:
    KxShareWidget *q = nullptr;
    double *m_pScale = nullptr;
    QWidget *m_pFinishPage = nullptr;
    QWidget *m_pQRPage = nullptr;
    QString m_strCurrentPath;
    QPushButton *m_pBackBtn = nullptr;
    bool m_bShareEnabled = true;
    QLabel *m_pLengthLabel = nullptr;
    QLabel *m_pQRLabel = nullptr;
    QLabel *m_pNoCodeLabel = nullptr;
    QLabel *m_pQRFileLabel = nullptr;
    QLabel *m_pFinishFileLabel = nullptr;

    double scale() const { return kxScaleOf(m_pScale); }
    QWidget *buildTitle(QWidget *parent);
    QWidget *buildFinishPage(QWidget *parent);
    QWidget *buildQRPage(QWidget *parent);
    QPushButton *openButton(bool filled, QWidget *parent);
    void showPage(bool qr)
    {
        m_pQRPage->setVisible(qr);
        m_pFinishPage->setVisible(!qr);
        m_pBackBtn->setEnabled(qr);
    }
};

QWidget *KxShareWidgetPrivate::buildTitle(QWidget *parent)
{
    const double s = scale();
    auto *title = new QWidget(parent);
    title->setObjectName("titleWidget");
    title->setFixedHeight(kxScaled(40, s));
    title->setStyleSheet("QWidget#titleWidget{ background-color: transparent; border-bottom: 1px solid #e8e8e8; }");
    auto *layout = new QHBoxLayout(title);
    layout->setContentsMargins(kxScaled(12, s), 0, kxScaled(12, s), 0);
    layout->setSpacing(kxScaled(4, s));
    m_pBackBtn = new QPushButton(title);
    m_pBackBtn->setObjectName("m_pBackBtn");
    m_pBackBtn->setFixedSize(kxScaled(24, s), kxScaled(24, s));
    m_pBackBtn->setFocusPolicy(Qt::NoFocus);
    m_pBackBtn->setStyleSheet("QPushButton#m_pBackBtn{background-color: transparent; border-image: "
                              "url(:/img/images/back.png);}QPushButton#m_pBackBtn:disabled{border-image: none; border: none; background-color: transparent;}");
    auto *titleLabel = new QLabel(KxShareWidget::tr("ID_TITLE"), title);
    titleLabel->setFixedSize(kxScaled(258, s), kxScaled(24, s));
    titleLabel->setStyleSheet(QString("font-size:%1px; font-family:Microsoft YaHei; color:#333333;")
                                  .arg(kxScaledFloor(16, s)));
    auto *minBtn = titleButton("minBtn", ":/img/images/minimize.png", ":/img/images/minimize_hover.png",
                               kxScaled(24, s), title);
    auto *closeBtn = titleButton("closeBtn", ":/img/images/close.png", ":/img/images/close_hover.png",
                                 kxScaled(24, s), title);
    layout->addWidget(m_pBackBtn);
    layout->addWidget(titleLabel);
    layout->addStretch();
    layout->addWidget(minBtn);
    layout->addWidget(closeBtn);
    QObject::connect(m_pBackBtn, &QPushButton::clicked, q, &KxShareWidget::onBackBtnClicked);
    QObject::connect(minBtn, &QPushButton::clicked, q, &KxShareWidget::onMinBtnClicked);
    QObject::connect(closeBtn, &QPushButton::clicked, q, &KxShareWidget::onCloseBtnClicked);
    return title;
}

QPushButton *KxShareWidgetPrivate::openButton(bool filled, QWidget *parent)
{
    const double s = scale();
    auto *btn = new QPushButton(KxShareWidget::tr("ID_OPEN_FOLDER"), parent);
    btn->setObjectName(filled ? "openBtn" : "openBtnOutline");
    btn->setFixedSize(kxScaled(88, s), kxScaled(32, s));
    btn->setCursor(Qt::PointingHandCursor);
    btn->setFocusPolicy(Qt::NoFocus);
    const int radius = kxScaledFloor(4, s), font = kxScaledFloor(14, s);
    if (filled) {
        btn->setStyleSheet(QString("QPushButton{background-color: #4665ff;border: 1px solid #4665ff; border-radius: "
                                   "%1px;font-size:%2px; font-family:Microsoft YaHei;color: #ffffff;}")
                               .arg(radius)
                               .arg(font));
    } else {
        btn->setStyleSheet(QString("QPushButton{background-color: #ffffff;border: 1px solid #4665ff; border-radius: "
                                   "%1px;font-size:%2px; font-family:Microsoft YaHei;color: #4665ff;}"
                                   "QPushButton:pressed{background-color: #4665ff; color: #ffffff;}")
                               .arg(radius)
                               .arg(font));
    }
    QObject::connect(btn, &QPushButton::clicked, q, &KxShareWidget::onOpenBtnClicked);
    return btn;
}

QWidget *KxShareWidgetPrivate::buildFinishPage(QWidget *parent)
{
    const double s = scale();
    auto *page = new QWidget(parent);
    page->setObjectName("finishPage");
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(kxScaled(16, s), 0, kxScaled(16, s), 0);
    layout->setSpacing(0);
    auto *icon = new QLabel(page);
    icon->setObjectName("iconLbl");
    icon->setFixedSize(kxScaled(114, s), kxScaled(108, s));
    icon->setStyleSheet("QLabel#iconLbl{background-color: transparent; border-image: url(:/img/images/recordfinish.png);}");
    layout->addStretch(40);
    layout->addWidget(icon, 0, Qt::AlignHCenter);
    layout->addStretch(20);
    layout->addWidget(textLabel(KxShareWidget::tr("ID_RECORD_FINISH"), kxScaledFloor(16, s), "#666666", page));
    layout->addStretch(10);
    m_pFinishFileLabel = textLabel(QString(), kxScaledFloor(18, s), "#333333", page);
    m_pFinishFileLabel->setObjectName("finishFileLabel");
    layout->addWidget(m_pFinishFileLabel);
    layout->addStretch(28);
    layout->addWidget(openButton(true, page), 0, Qt::AlignHCenter);
    layout->addStretch(40);
    return page;
}

QWidget *KxShareWidgetPrivate::buildQRPage(QWidget *parent)
{
    const double s = scale();
    auto *page = new QWidget(parent);
    page->setObjectName("qrPage");
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(kxScaled(16, s), 0, kxScaled(16, s), 0);
    layout->setSpacing(0);
    layout->addStretch(16);
    m_pQRFileLabel = textLabel(QString(), kxScaledFloor(18, s), "#333333", page);
    m_pQRFileLabel->setObjectName("qrFileLabel");
    layout->addWidget(m_pQRFileLabel);
    layout->addStretch(4);
    m_pLengthLabel = textLabel(QString(), kxScaledFloor(14, s), "#666666", page);
    m_pLengthLabel->setObjectName("lengthLabel");
    layout->addWidget(m_pLengthLabel);
    layout->addStretch(14);

    auto *box = new QWidget(page);
    box->setObjectName("qrBox");
    box->setFixedSize(kxScaled(144, s), kxScaled(144, s));
    box->setStyleSheet("QWidget#qrBox{border-image: url(:/img/images/qrcodeback.png);}");
    m_pNoCodeLabel = textLabel(KxShareWidget::tr("ID_NO_CODE"), kxScaledFloor(14, s), "#333333", box);
    m_pNoCodeLabel->setObjectName("noCodeLabel");
    m_pNoCodeLabel->setWordWrap(true);
    m_pNoCodeLabel->setGeometry(0, 0, box->width(), box->height());
    m_pQRLabel = new QLabel(box);
    m_pQRLabel->setObjectName("qrLabel");
    m_pQRLabel->setGeometry(0, 0, box->width(), box->height());
    m_pQRLabel->hide();
    layout->addWidget(box, 0, Qt::AlignHCenter);
    layout->addStretch(12);
    layout->addWidget(textLabel(KxShareWidget::tr("ID_RECORD_REMARK"), kxScaledFloor(14, s), "#333333", page));
    layout->addStretch(14);
    layout->addWidget(openButton(false, page), 0, Qt::AlignHCenter);
    layout->addStretch(20);
    return page;
}

KxShareWidget::KxShareWidget(double *scale, QWidget *parent)
    : KxMovableWidget(parent), m_pData(new KxShareWidgetPrivate)
{
    kxInitUiResources();
    m_pData->q = this;
    m_pData->m_pScale = scale;
    const double s = m_pData->scale();
    kxMakeFloating(this);
    setFixedSize(kxScaled(406, s), kxScaled(405, s));
    moveToRestingPlace();

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(kxScaled(12, s), kxScaled(8, s), kxScaled(12, s), kxScaled(16, s));
    auto *back = new QWidget(this);
    back->setObjectName("backWidget");
    back->setStyleSheet(QString("QWidget#backWidget{ border:1px solid #4c000000; border-radius: "
                                "%1px;background-color: #ffffff;}")
                            .arg(kxScaledFloor(4, s)));
    auto *shadow = new QGraphicsDropShadowEffect(back);
    shadow->setColor(QColor(0, 0, 0, 0x4c));
    shadow->setBlurRadius(12);
    shadow->setOffset(0, 0);
    back->setGraphicsEffect(shadow);
    outer->addWidget(back);

    auto *layout = new QVBoxLayout(back);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_pData->buildTitle(back));
    m_pData->m_pFinishPage = m_pData->buildFinishPage(back);
    m_pData->m_pQRPage = m_pData->buildQRPage(back);
    layout->addWidget(m_pData->m_pFinishPage, 1);
    layout->addWidget(m_pData->m_pQRPage, 1);
    m_pData->showPage(false);
}

KxShareWidget::~KxShareWidget()
{
    delete m_pData;
}

void KxShareWidget::setFileName(const QString &name)
{
    qDebug() << "KxShareWidget::setFileName" << name;
    m_pData->m_pQRFileLabel->setText(name + ".mp4");
    m_pData->m_pFinishFileLabel->setText(name + ".mp4");
}

void KxShareWidget::setShareEnabled(const bool &enabled)
{
    qDebug() << "KxShareWidget::setShareEnabled" << enabled;
    m_pData->m_bShareEnabled = enabled;
    if (isVisible())
        return;
    const double s = m_pData->scale();
    setFixedSize(kxScaled(406, s), kxScaled(enabled ? 405 : 390, s));
    m_pData->showPage(enabled);
}

void KxShareWidget::setCurrentPath(const QString &curPath)
{
    qDebug() << "KxShareWidget::setCurrentPath" << curPath;
    m_pData->m_strCurrentPath = curPath;
    m_pData->m_pQRLabel->hide();
    m_pData->m_pNoCodeLabel->show();
}

void KxShareWidget::onOpenBtnClicked()
{
    qDebug() << "KxShareWidget::onOpenBtnClicked";
    KxAddActionByQueue("id_open_dir", QJsonObject());
    QString path = KxMerioSettingsData::instance()->documentsPath().replace("\\", "/");
    if (!m_pData->m_strCurrentPath.isEmpty())
        path += "/" + m_pData->m_strCurrentPath;
    if (!QDir(path).exists() && !QDir().mkpath(path))
        qWarning() << "KxShareWidget::onOpenBtnClicked, cannot create" << path;
    // A file URL takes the path as it is; quotes would become part of the name.
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        qWarning() << "KxShareWidget::onOpenBtnClicked, no program opened" << path;
}

void KxShareWidget::onBackBtnClicked()
{
    qDebug() << "KxShareWidget::onBackBtnClicked";
    m_pData->m_pBackBtn->setEnabled(false);
    m_pData->m_pQRPage->hide();
    m_pData->m_pFinishPage->show();
}

void KxShareWidget::onShareBtnClicked()
{
    qDebug() << "KxShareWidget::onShareBtnClicked";
    m_pData->m_pBackBtn->setEnabled(true);
    m_pData->m_pQRPage->show();
    m_pData->m_pFinishPage->hide();
}

void KxShareWidget::onMinBtnClicked()
{
    qDebug() << "KxShareWidget::onMinBtnClicked";
    hide();
}

void KxShareWidget::onCloseBtnClicked()
{
    qDebug() << "KxShareWidget::onCloseBtnClicked";
    emit sigToExit();
}

void KxShareWidget::onQRCodeChanged(const QString &file, const QString &code)
{
    qDebug() << "KxShareWidget::onQRCodeChanged, file: " << file << "code: " << code;
    const double s = m_pData->scale();
    const QImage image = KxQREncode().encode(code, 5, QColor("#000000"), QColor("#ffffff"));
    if (image.isNull()) {
        qWarning() << "KxShareWidget::onQRCodeChanged, no QR symbol for the share text";
        return;
    }
    const QPixmap pixmap = QPixmap::fromImage(
        image.scaled(kxScaled(144, s), kxScaled(144, s), Qt::IgnoreAspectRatio, Qt::FastTransformation));
    const QString folder = KxMerioSettingsData::instance()->documentsPath() + "/" + QString(file).remove(".mp4");
    qDebug() << "KxShareWidget::onQRCodeChanged, path: " << folder;
    const QString target = folder + "/" + QString::fromUtf8(kQrFileName);
    if (!pixmap.save(target))
        qWarning() << "KxShareWidget::onQRCodeChanged, cannot save" << target;
    if (file.contains(m_pData->m_strCurrentPath)) {
        m_pData->m_pQRLabel->setPixmap(pixmap);
        m_pData->m_pQRLabel->show();
        m_pData->m_pNoCodeLabel->hide();
    }
}

void KxShareWidget::onLocalFileStopped(const QString &fn, const double &duration, const double &size)
{
    qDebug() << "KxShareWidget::onLocalFileStopped, fn: " << fn << ", size: " << size;
    const int seconds = int(duration);
    m_pData->m_pLengthLabel->setText(QString("00:%1:%2    %3MB")
                                         .arg(seconds / 60, 2, 10, QChar('0'))
                                         .arg(seconds % 60, 2, 10, QChar('0'))
                                         .arg(size / 1024, 4, 'f', 2));
}

void KxShareWidget::showEvent(QShowEvent *event)
{
    KxMovableWidget::showEvent(event);
    if (m_pData->m_pQRPage->isVisibleTo(this)) {
        KxAddActionByQueue("id_scan_code_sharing", QJsonObject());
        qDebug() << "user action ID_USER_SCAN_CODE_SHARING";
    }
}

void KxShareWidget::hideEvent(QHideEvent *event)
{
    KxMovableWidget::hideEvent(event);
    moveToRestingPlace();
}

void KxShareWidget::moveToRestingPlace()
{
    const double s = m_pData->scale();
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    QRect r(0, 0, kxScaled(382, s), kxScaled(366, s));
    r.moveCenter(area.center());
    move(r.topLeft());
}
