#include "KxAboutDlg.h"

#include "KxAddActionByQueue.h"
#include "KxPromptToast.h"
#include "KxUiCommon.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>
#include <QtDebug>

namespace {
const char *const kUpdaterName = "NorviSoftwareUpdate";
constexpr int kProbeMs = 3000;

QString versionIniPath()
{
    return QCoreApplication::applicationDirPath() + "/version.ini";
}

QLabel *line(const QString &text, int w, int h, const QString &style, double s, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setFixedSize(kxScaled(w, s), kxScaled(h, s));
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet(style);
    return label;
}
} // namespace

class KxAboutDlgInnerWidgetPrivate {
public:
    KxAboutDlgInnerWidget *q = nullptr;
    double m_dScale = 1;
    QPushButton *m_pCheckBtn = nullptr;
    QWidget *m_pChecking = nullptr;
    IKxNetWorkManager *m_pNetworkMgr = nullptr;

    void showChecking(bool checking)
    {
        m_pCheckBtn->setVisible(!checking);
        m_pChecking->setVisible(checking);
    }
    // The service could not be reached: say so over the dialog.
    void showNetworkError()
    {
        auto *toast = new KxPromptToast(KxAboutDlgInnerWidget::tr("ID_NETWORK_CONNECT_ERROR_MESS"), 3, 14, &m_dScale,
                                        false, q->window());
        toast->showOnRefWidgetCenter(q->window());
    }
};

KxAboutDlgInnerWidget::KxAboutDlgInnerWidget(bool connected, double scale, QWidget *parent)
    : KxPromptDlgShellInnerWidget(parent), m_pData(new KxAboutDlgInnerWidgetPrivate)
{
    kxInitUiResources();
    m_pData->q = this;
    m_pData->m_dScale = scale;
    const double s = scale;

    auto *center = kxAddBackWidget(this, "centerWidget",
                                   QString("QWidget#centerWidget{border-bottom-left-radius: "
                                           "%1px;border-bottom-right-radius: %1px;background-color: #ffffff; }")
                                       .arg(kxScaledReal(4, s)));

    auto *layout = new QVBoxLayout(center);
    layout->setContentsMargins(0, kxScaled(16, s), 0, kxScaled(12, s));
    layout->setSpacing(0);
    auto *logo = new QLabel(center);
    logo->setObjectName("logoLabel");
    logo->setFixedSize(kxScaled(89, s), kxScaled(70, s));
    logo->setStyleSheet("background-color: #ffffff;border-image: url(:/img/images/about/merioshare.png);");
    layout->addWidget(logo, 0, Qt::AlignHCenter);
    layout->addStretch(6);
    layout->addWidget(line(tr("ID_TITLE"), 200, 24,
                           QString("QLabel{background-color: #ffffff; font-size:%1px; font-family:Microsoft "
                                   "YaHei;color:#333333;}")
                               .arg(kxScaledReal(18, s)),
                           s, center),
                      0, Qt::AlignHCenter);
    QSettings ini(versionIniPath(), QSettings::IniFormat);
    ini.setIniCodec("UTF-8");
    const QString version = ini.value("versionInformation/version").toString();
    auto *versionLabel = line(version.isEmpty() ? QString() : tr("ID_VERSION").arg(version), 200, 24,
                              QString("QLabel{background-color: #ffffff;font-size:%1px; font-family:Microsoft YaHei; "
                                      "color:#666666;}")
                                  .arg(kxScaledReal(14, s)),
                              s, center);
    versionLabel->setObjectName("versionLabel");
    layout->addWidget(versionLabel, 0, Qt::AlignHCenter);
    layout->addStretch(8);

    m_pData->m_pCheckBtn = new QPushButton(tr("ID_CHECK_UPDATE"), center);
    m_pData->m_pCheckBtn->setObjectName("checkBtn");
    m_pData->m_pCheckBtn->setFixedSize(kxScaled(98, s), kxScaled(32, s));
    m_pData->m_pCheckBtn->setCursor(Qt::PointingHandCursor);
    m_pData->m_pCheckBtn->setFocusPolicy(Qt::NoFocus);
    m_pData->m_pCheckBtn->setStyleSheet(
        QString("QPushButton{background-color: #4665ff;border: 0px solid #d9d9d9; border-radius: %1px;font-size:%2px; "
                "font-family:Microsoft YaHei;color: #ffffff;}QPushButton:disabled{border: 1px solid "
                "#d9d9d9;background-color: #f5f5f5;color: #b7b7b7;}")
            .arg(kxScaledReal(4, s), kxScaledReal(14, s)));
    auto *checking = line(tr("ID_CHECKING"), 200, 32,
                          QString("QLabel{background-color: #ffffff;font-size:%1px; font-family:Microsoft YaHei; "
                                  "color:#4665ff;}")
                              .arg(kxScaledReal(14, s)),
                          s, center);
    checking->setObjectName("checkingLabel");
    m_pData->m_pChecking = checking;
    layout->addWidget(m_pData->m_pCheckBtn, 0, Qt::AlignHCenter);
    layout->addWidget(m_pData->m_pChecking, 0, Qt::AlignHCenter);
    layout->addStretch(10);
    const QString companyStyle =
        QString("background-color: transparent;font-size:%1px; font-family:Microsoft YaHei;color:#8c8c8c;")
            .arg(kxScaledReal(12, s));
    for (const char *key : {"ID_COMPANY_NAME", "ID_COPYRIGHT"}) {
        auto *company = new QLabel(tr(key), center);
        company->setAlignment(Qt::AlignCenter);
        company->setStyleSheet(companyStyle);
        layout->addWidget(company);
    }
    layout->addStretch(30);

    m_pData->m_pCheckBtn->setEnabled(connected);
    m_pData->m_pChecking->hide();
    connect(m_pData->m_pCheckBtn, &QPushButton::clicked, this, &KxAboutDlgInnerWidget::slotCheckUpdate);

    m_pData->m_pNetworkMgr = KxNetrelay::getInst(this);
    if (m_pData->m_pNetworkMgr && m_pData->m_pNetworkMgr->softwareUpdate()) {
        QObject *update = m_pData->m_pNetworkMgr->softwareUpdate()->qobject();
        connect(update, SIGNAL(sigAllVersionCheckResult(QJsonObject)), this, SLOT(slotCheckUpDate(QJsonObject)));
        connect(update, SIGNAL(signalError(ErrorInfo)), this, SLOT(slotUpdateError(ErrorInfo)));
    }
}

KxAboutDlgInnerWidget::~KxAboutDlgInnerWidget()
{
    delete m_pData;
}

void KxAboutDlgInnerWidget::setCheckEnabled(bool connected)
{
    m_pData->m_pCheckBtn->setEnabled(connected);
}

QJsonObject KxAboutDlgInnerWidget::styleObject()
{
    return QJsonObject{
        {"softName", "NorviMerioShare"},
        {"softSkinColorDefault", "#4665ff"},
        {"softSkinColorHover", "#4665ff"},
        {"softSkinColorPressed", "#4665ff"},
        {"softSkinColorDisable", "#9094ee"},
        {"language", "zh_CN"},
    };
}

QJsonObject KxAboutDlgInnerWidget::requestObject()
{
    const QString dir = QCoreApplication::applicationDirPath();
    return QJsonObject{
        {"versionInfoFilePath", dir + "/version.ini"},
        {"openAfterInstall", dir + "/NorviMerioShare"},
    };
}

bool KxAboutDlgInnerWidget::isUpdaterRunning()
{
    // /proc/<pid>/comm holds at most 15 characters of the name, so the
    // program name is taken from the first word of the command line.
    const QString name = QString::fromLatin1(kUpdaterName);
    const QStringList pids = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        bool numeric = false;
        pid.toInt(&numeric);
        if (!numeric)
            continue;
        QFile cmdline("/proc/" + pid + "/cmdline");
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;  // the process ended meanwhile
        const QByteArray argv0 = cmdline.readAll().split('\0').value(0);
        const QString base = QFileInfo(QString::fromLocal8Bit(argv0)).fileName();
        if (base == name || base == name + ".exe")
            return true;
    }
    return false;
}

void KxAboutDlgInnerWidget::slotCheckUpdate()
{
    qDebug() << "KxAboutDlgInnerWidget::slotCheckUpdate";
    KxAddActionByQueue("id_check_update", QJsonObject());
    if (!m_pData->m_pNetworkMgr) {
        qDebug() << "KxAboutDlgInnerWidget::slotCheckUpdate, networkmgr is null";
        return;
    }
    if (!m_pData->m_pNetworkMgr->connectivityProbe()->isReachable(kProbeMs)) {
        qDebug() << "KxAboutDlgInnerWidget::slotCheckUpdate, service not reachable";
        m_pData->showNetworkError();
        return;
    }
    m_pData->showChecking(true);
    m_pData->m_pNetworkMgr->softwareUpdate()->checkUpdate(requestObject());
}

void KxAboutDlgInnerWidget::slotCheckUpDate(QJsonObject jobj)
{
    qDebug() << "KxAboutDlgInnerWidget::slotCheckUpDate" << jobj;
    jobj.insert("style", styleObject());
    if (m_pData->m_pNetworkMgr && m_pData->m_pNetworkMgr->softwareUpdate()) {
        if (isUpdaterRunning()) {
            qDebug() << "KxAboutDlgInnerWidget::slotCheckUpDate, the updater is already running";
        } else {
            m_pData->m_pNetworkMgr->softwareUpdate()->startUpdate(jobj);
            m_pData->showChecking(false);
        }
    }
    qDebug() << "need exit";
    emit sigCancel();
}

void KxAboutDlgInnerWidget::slotUpdateError(ErrorInfo einfo)
{
    qDebug() << "KxAboutDlgInnerWidget::KxAboutDlgInnerWidgetPrivate::slotUpdateError" << einfo.code << einfo.message;
    // A failed check must not leave "checking" on screen for good.
    m_pData->showChecking(false);
    if (einfo.code == KxUpdateErrorNetwork)
        m_pData->showNetworkError();
}

KxAboutDlg::KxAboutDlg(const bool &connected, const QString &title, double *scale, QWidget *parent)
    : KxPromptDlgShell(title, scale, parent)
{
    const double s = kxScaleOf(scale);
    setFixedSize(kxScaled(382, s), kxScaled(344, s));
    setInnerWidget(new KxAboutDlgInnerWidget(connected, s, this));
}

void KxAboutDlg::onNetworkStatusChanged(const bool &connected)
{
    qDebug() << "KxAboutDlg::onNetworkStatusChanged" << connected;
    if (auto *inner = qobject_cast<KxAboutDlgInnerWidget *>(innerWidget()))
        inner->setCheckEnabled(connected);
}
