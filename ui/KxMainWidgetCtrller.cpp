#include "KxMainWidgetCtrller.h"

#include "KxAboutDlg.h"
#include "KxAddActionByQueue.h"
#include "KxAnimatedWidget.h"
#include "KxAudioCollector.h"
#include "KxCountDownWidget.h"
#include "KxIdleMemory.h"
#include "KxMasterCommander.h"
#include "KxMerioSettingsData.h"
#include "KxMerioToastShell.h"
#include "KxPromptToast.h"
#include "KxRecordComboWidget.h"
#include "KxShareWidget.h"
#include "KxSystemTrayIcon.h"
#include "KxUpdateListWidget.h"
#include "KxVideoIconWidget.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QEventLoop>
#include <QGuiApplication>
#include <QJsonObject>
#include <QMessageBox>
#include <QPushButton>
#include <QPointer>
#include <QScreen>
#include <QSessionManager>
#include <QThreadPool>
#include <QTimer>

#include <sys/stat.h>

namespace {

const char *const kTitle = "MerioLesson";
constexpr int kShortRecordingMs = 5000;
constexpr int kKeepDays = 15;
// Longest wait for the camera-opening task of a countdown.
constexpr int kCameraOpenWaitMs = 5000;

QRect primaryAvailable()
{
    QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
}

QRect primaryGeometry()
{
    QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry() : QRect(0, 0, 1920, 1080);
}

void waitInEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

class KxMainWidgetCtrllerPrivate {
public:
    explicit KxMainWidgetCtrllerPrivate(KxMainWidgetCtrller *owner, double scale) : q(owner), m_dScale(scale) {}

    KxMainWidgetCtrller *q;
    double m_dScale;
    KxMasterCommander *m_pCommander = nullptr;
    KxAnimatedWidget *m_pStartMovie = nullptr;
    KxVideoIconWidget *m_pVideoIcon = nullptr;
    KxCountDownWidget *m_pCountDown = nullptr;
    KxRecordComboWidget *m_pRecordCombo = nullptr;
    KxShareWidget *m_pShareWidget = nullptr;
    KxSystemTrayIcon *m_pTrayIcon = nullptr;
    QWidget *m_pCurrentWidget = nullptr;
    bool m_bExiting = false;
    bool m_bNetworkDown = true;
    QString m_strRecordName;
    KxProgressToast *m_pProgressToast = nullptr;
    QWidget *m_pToastParent = nullptr;
    QPointer<QMessageBox> m_pNoMicQuestion;
    int m_iGlobalTotal = 0;
    int m_iLastElapsed = 0;
    // The current lesson's file could not be written whole.
    bool m_bFileBroken = false;
    // Files given up on by the uploads, shown once no recording runs.
    QStringList m_failedUploads;

    bool isRecording() const { return m_pCurrentWidget && m_pCurrentWidget == m_pRecordCombo->previewArea(); }

    void showPrompt(const QString &key, int fontSize, bool icon, QWidget *over = nullptr,
                    bool quitWhenGone = false, const QStringList &args = QStringList())
    {
        QString text = KxMainWidgetCtrller::tr(key.toUtf8().constData());
        for (const QString &arg : args)
            text = text.arg(arg);
        auto *toast = new KxPromptToast(text, 3, fontSize, &m_dScale, icon, m_pToastParent);
        QObject::connect(q, &KxMainWidgetCtrller::sigToClosePrompt, toast, &QWidget::hide);
        if (quitWhenGone)
            QObject::connect(toast, &QObject::destroyed, qApp, &QCoreApplication::quit);
        if (over)
            toast->showOnRefWidgetCenter(over);
        else
            toast->showOnScreenCenter();
    }
    void showCameraMissing() { showPrompt("ID_CAMERA_MISSING", 18, true); }
    void showCameraOccupied() { showPrompt("ID_CAMERA_OCCUPIED", 18, true); }
    void showNetworkPrompt(const char *key) { showPrompt(key, 14, false, m_pRecordCombo->previewArea()); }

    void showVideoIcon()
    {
        m_pCurrentWidget = m_pVideoIcon;
        m_pVideoIcon->show();
    }

    void startAnimation()
    {
        if (!m_pStartMovie) {
            m_pStartMovie = new KxAnimatedWidget(":/img/images/startmovie",
                                                 QSize(int(400 * m_dScale), int(300 * m_dScale)), 20, &m_dScale);
            QObject::connect(m_pStartMovie, &KxAnimatedWidget::sigToExit, q, &KxMainWidgetCtrller::onAnimateExit);
        }
        m_pCurrentWidget = m_pStartMovie;
        m_pStartMovie->show();
        m_pStartMovie->startMovie();
    }

    // Stops the running recording: one shorter than five seconds is thrown
    // away (discard); any other is kept, also when the program is leaving.
    void stopRecording(bool forExit)
    {
        m_pRecordCombo->stopRecord();
        m_iLastElapsed = int(m_pRecordCombo->takeLastElapsed());
        m_pRecordCombo->hide();
        const bool discard = m_iLastElapsed < kShortRecordingMs;
        m_pCommander->stopToRecord(discard);
        if (!forExit)
            showRecordResult(m_iLastElapsed);
        showFailedUploads();
    }

    void showRecordResult(int elapsed)
    {
        if (m_bExiting)
            return;
        if (m_bFileBroken) {
            // The prompt naming the file is up; nothing to share.
            m_pCurrentWidget = m_pVideoIcon;
            m_pShareWidget->hide();
            m_pVideoIcon->show();
        } else if (elapsed >= kShortRecordingMs) {
            m_pCurrentWidget = m_pShareWidget;
            m_pShareWidget->setFileName(m_strRecordName);
            m_pShareWidget->show();
        } else {
            m_pCurrentWidget = m_pVideoIcon;
            m_pShareWidget->hide();
            m_pVideoIcon->show();
            showPrompt("ID_RECORD_LEN_SHORT", 18, false);
        }
    }

    void showFailedUploads()
    {
        if (m_failedUploads.isEmpty() || isRecording() || m_bExiting)
            return;
        auto *list = new KxUpdateListWidget(&m_dScale);
        list->setDatas(m_failedUploads);
        list->show();
        m_failedUploads.clear();
    }

    // The program is ending (quit, logout, a termination signal): a running
    // lesson is stopped and kept like one the teacher stopped.
    void stopForQuit(const char *why)
    {
        qDebug() << "KxMainWidgetCtrller::stopForQuit" << why << "recording:" << isRecording();
        m_bExiting = true;
        if (isRecording()) {
            emit q->sigToCloseSelectDlg();
            stopRecording(true);
        }
        m_pCurrentWidget = nullptr;
    }

    // A lesson that cannot be recorded: the prompt names the folder and the
    // reason, or the process that records.
    void showRefusal(const QString &refused)
    {
        const char *key = refused.startsWith("another recording") ? "ID_RECORD_OTHER_PROCESS" : "ID_RECORD_FOLDER_UNUSABLE";
        showPrompt(key, 18, true, nullptr, false, {refused});
    }

    // A countdown that leads to no lesson closes the camera it opened.
    void endCountDownWithoutLesson()
    {
        QThreadPool::globalInstance()->waitForDone(kCameraOpenWaitMs);
        m_pCommander->closeCamera();
    }

    bool showProgressToast();
    void onCloseWindow();
    void onUploadStatusChanged(const QList<UploadProgress> &progresses);
};

KxMainWidgetCtrller::KxMainWidgetCtrller(double *scale, QObject *parent)
    : QObject(parent), m_pData(new KxMainWidgetCtrllerPrivate(this, scale ? *scale : 1.0))
{
    qDebug() << "KxMainWidgetCtrller::KxMainWidgetCtrller" << m_pData->m_dScale;
    KxMainWidgetCtrllerPrivate *d = m_pData;
    double *s = &d->m_dScale;
    d->m_pCommander = new KxMasterCommander(KxMerioSettingsData::instance()->commanderConfig(), this);
    d->m_pVideoIcon = new KxVideoIconWidget(s);
    d->m_pVideoIcon->hide();
    d->m_pCountDown = new KxCountDownWidget(s);
    d->m_pCountDown->hide();
    d->m_pRecordCombo = new KxRecordComboWidget(s);
    d->m_pRecordCombo->setCommander(d->m_pCommander);
    d->m_pRecordCombo->hide();
    d->m_pShareWidget = new KxShareWidget(s);
    d->m_pShareWidget->hide();
    d->m_pTrayIcon = new KxSystemTrayIcon(s, this);

    connect(d->m_pVideoIcon, &KxVideoIconWidget::sigToExit, this, &KxMainWidgetCtrller::onRecordClicked);
    connect(d->m_pCountDown, &KxCountDownWidget::sigToExit, this, &KxMainWidgetCtrller::onCountDownExit);
    connect(d->m_pRecordCombo, &KxRecordComboWidget::sigToExit, this, &KxMainWidgetCtrller::onStopRecord);
    connect(d->m_pRecordCombo, &KxRecordComboWidget::sigToClipImg, this, &KxMainWidgetCtrller::onClipImage);
    connect(d->m_pShareWidget, &KxShareWidget::sigToExit, this, &KxMainWidgetCtrller::onShareExit);

    d->m_pCommander->setCameraScreen(int32_t(d->m_pRecordCombo->previewArea()->winId()));

    connect(d->m_pTrayIcon, &KxSystemTrayIcon::sigToShowWidget, this, &KxMainWidgetCtrller::onShowCurrentWidget);
    connect(d->m_pTrayIcon, &KxSystemTrayIcon::sigToCloseWindow, this, &KxMainWidgetCtrller::onCloseWindow);
    connect(d->m_pTrayIcon, &KxSystemTrayIcon::sigToShowAboutWindow, this, &KxMainWidgetCtrller::onShowAboutWindow);
    d->m_pTrayIcon->setVisible(true);

    connect(d->m_pCommander, &KxMasterCommander::sigNetworkStatusChanged, this,
            &KxMainWidgetCtrller::onNetworkStatusChanged);
    connect(d->m_pCommander, &KxMasterCommander::sigUploadStatusChanged, this,
            &KxMainWidgetCtrller::onUploadStatusChanged);
    connect(d->m_pCommander, &KxMasterCommander::sigQRCodeChanged, d->m_pShareWidget,
            &KxShareWidget::onQRCodeChanged);
    connect(d->m_pCommander, &KxMasterCommander::sigLocalFileStopped, this, &KxMainWidgetCtrller::onLocalFileStopped);
    connect(d->m_pCommander, &KxMasterCommander::sigCameraError, this, &KxMainWidgetCtrller::onCameraError);
    // A recording whose file could not be written whole is not offered for
    // sharing: the teacher is told instead.
    connect(d->m_pCommander, &KxMasterCommander::sigLocalFileBroken, this, [d](const QString &file, const QString &why) {
        qWarning() << "KxMainWidgetCtrller" << "broken recording" << file << why;
        d->m_bFileBroken = true;
        if (d->m_pCurrentWidget == d->m_pShareWidget) {
            d->m_pShareWidget->hide();
            d->showVideoIcon();
        }
        d->showPrompt("ID_RECORD_FILE_BROKEN", 18, true, nullptr, false, {QDir::toNativeSeparators(file)});
    });
    // Every way out keeps the lesson: the application quitting (QEvent::Quit,
    // a termination signal handled by main) and the end of the session.
    connect(qApp, &QCoreApplication::aboutToQuit, this, [d] { d->stopForQuit("aboutToQuit"); });
#ifndef QT_NO_SESSIONMANAGER
    connect(qApp, &QGuiApplication::commitDataRequest, this,
            [d](QSessionManager &) { d->stopForQuit("commitDataRequest"); });
#endif
    connect(d->m_pCommander, &KxMasterCommander::sigUploadError, this, [d](const QString &file) {
        d->m_failedUploads << file;
        QTimer::singleShot(500, d->q, [d] { d->showFailedUploads(); });
    });

    d->m_pToastParent = new QWidget;
    d->m_pToastParent->setGeometry(0, 0, 1, 1);
    d->m_pToastParent->setStyleSheet("background-color: transparent;");
    d->m_pToastParent->setAttribute(Qt::WA_TranslucentBackground);
    d->m_pToastParent->setWindowFlags(Qt::FramelessWindowHint | Qt::Tool | Qt::WindowStaysOnTopHint);
    d->m_pToastParent->show();

    delFilesSeveralDaysAgo(KxMerioSettingsData::instance()->documentsPath(), kKeepDays);
}

KxMainWidgetCtrller::~KxMainWidgetCtrller()
{
    KxMainWidgetCtrllerPrivate *d = m_pData;
    // A countdown's camera-opening task holds the commander.
    if (!QThreadPool::globalInstance()->waitForDone(kCameraOpenWaitMs))
        qWarning() << "KxMainWidgetCtrller::~KxMainWidgetCtrller" << "the camera is still being opened";
    delete d->m_pCommander;
    delete d->m_pTrayIcon;
    delete d->m_pStartMovie;
    delete d->m_pVideoIcon;
    delete d->m_pCountDown;
    delete d->m_pRecordCombo;
    delete d->m_pShareWidget;
    delete d->m_pToastParent;
    delete d;
    qDebug() << "KxMainWidgetCtrller::~KxMainWidgetCtrller";
}

QObject *KxMainWidgetCtrller::currentWidget() const
{
    return m_pData->m_pCurrentWidget;
}

void KxMainWidgetCtrller::startWithCameraCheck(const bool &first)
{
    qDebug() << "KxMainWidgetCtrller::startWithCameraCheck" << first;
    KxMainWidgetCtrllerPrivate *d = m_pData;
    if (d->m_pCommander->isCameraExist()) {
        d->startAnimation();
        return;
    }
    if (first) {
        // The program ends when the prompt goes (after 3 s or a click).
        d->showPrompt("ID_INSTALL_CAMARA", 18, true, nullptr, true);
        return;
    }
    d->showCameraMissing();
    d->startAnimation();
}

void KxMainWidgetCtrller::reStartAnimation()
{
    qDebug() << "KxMainWidgetCtrller::reStartAnimation";
    KxMainWidgetCtrllerPrivate *d = m_pData;
    if (d->m_pCurrentWidget != d->m_pVideoIcon)
        return;
    d->m_pVideoIcon->hide();
    startWithCameraCheck(false);
}

void KxMainWidgetCtrller::onAnimateExit()
{
    KxMainWidgetCtrllerPrivate *d = m_pData;
    qDebug() << "KxMainWidgetCtrller::onAnimateExit" << "m_pData->m_bExiting: " << d->m_bExiting;
    if (d->m_bExiting)
        return;
    QRect icon = d->m_pVideoIcon->geometry();
    icon.moveCenter(primaryAvailable().center() + QPoint(0, int(3 * d->m_dScale)));
    d->m_pVideoIcon->move(icon.topLeft());
    d->m_pVideoIcon->show();
    // The animation covers the whole screen: its window and its 8 MB
    // backing store (shared with the X server) go until it plays again.
    d->m_pStartMovie->hide();
    d->m_pStartMovie->deleteLater();
    d->m_pStartMovie = nullptr;
    d->m_pCurrentWidget = d->m_pVideoIcon;
    // What the frames took while they played is free now: the program
    // waits in the tray from here.
    QTimer::singleShot(1000, this, [] { kxReturnFreeMemory(); });
}

void KxMainWidgetCtrller::onRecordClicked()
{
    qDebug() << "KxMainWidgetCtrller::onRecordClicked";
    KxMainWidgetCtrllerPrivate *d = m_pData;
    emit sigToClosePrompt();
    if (!d->m_pCommander->isCameraExist()) {
        d->showCameraMissing();
        return;
    }
    // No countdown that runs into nothing: a lesson that cannot be written
    // is refused now, naming the folder and the reason.
    const QString refused = d->m_pCommander->recordingRefusal();
    if (!refused.isEmpty()) {
        d->showRefusal(refused);
        return;
    }
    auto startCountDown = [d] {
        d->m_pCurrentWidget = d->m_pCountDown;
        d->m_pVideoIcon->hide();
        d->m_pCountDown->show();
        QThreadPool::globalInstance()->start(new CameraPreStartTask(d->m_pCommander));
        d->m_pCountDown->startMovie();
    };
    // The unit's camera is there but not its microphone: a lesson without
    // sound only when the teacher chooses it, never unnoticed.
    const QByteArray micPattern = KxMerioSettingsData::instance()->audioDevicePattern().toLocal8Bit();
    if (KxAudioModule::KxAudioCollector::hasMicrophone(micPattern.constData())) {
        startCountDown();
        return;
    }
    qWarning() << "KxMainWidgetCtrller::onRecordClicked: no microphone matches" << micPattern;
    if (d->m_pNoMicQuestion && d->m_pNoMicQuestion->isVisible())
        return; // already asking (an answered one is only waiting to be deleted)
    // A window of its own: the toast parent's transparency is for toasts.
    auto *box = new QMessageBox(QMessageBox::Question, tr("ID_TITLE"), tr("ID_NO_MICROPHONE"), QMessageBox::NoButton);
    QPushButton *record = box->addButton(tr("ID_RECORD_WITHOUT_SOUND"), QMessageBox::AcceptRole);
    box->addButton(tr("ID_CANCEL"), QMessageBox::RejectRole);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    connect(this, &QObject::destroyed, box, &QObject::deleteLater);
    d->m_pNoMicQuestion = box;
    connect(box, &QMessageBox::finished, this, [box, record, startCountDown] {
        const bool withoutSound = box->clickedButton() == record;
        qDebug() << "KxMainWidgetCtrller::onRecordClicked: record without sound:" << withoutSound;
        if (withoutSound)
            startCountDown();
    });
    box->open();
}

void KxMainWidgetCtrller::onCountDownExit()
{
    KxMainWidgetCtrllerPrivate *d = m_pData;
    qDebug() << "KxMainWidgetCtrller::onCountDownExit" << "m_pData->m_bExiting: " << d->m_bExiting;
    // Exit chosen during the countdown (and perhaps cancelled, which shows
    // the idle button again): no lesson follows.
    if (d->m_bExiting || d->m_pCurrentWidget != d->m_pCountDown) {
        d->endCountDownWithoutLesson();
        d->m_pCountDown->hide();
        return;
    }
    // The camera is being opened on a pool worker; wait for it to finish so
    // that the start does not race the open.
    QThreadPool::globalInstance()->waitForDone(kCameraOpenWaitMs);
    if (!d->m_pCommander->isCameraExist()) {
        d->endCountDownWithoutLesson();
        d->showCameraMissing();
        d->showVideoIcon();
        d->m_pCountDown->hide();
        return;
    }
    d->m_pCurrentWidget = d->m_pRecordCombo->previewArea();
    d->m_pCountDown->hide();

    d->m_strRecordName = QString::fromLocal8Bit(kTitle) + " " +
                         QDateTime::currentDateTime().toString("yyyyMMdd hhmmss");
    d->m_bFileBroken = false;
    const bool ok = d->m_pCommander->startToRecord(kTitle, d->m_strRecordName);
    if (ok)
        d->m_strRecordName = d->m_pCommander->recordName();
    const QString refused = ok ? QString() : d->m_pCommander->startError();
    if (refused.startsWith("the lesson folder") || refused.startsWith("another recording")) {
        // Nothing can be written (or another process records): say why.
        d->endCountDownWithoutLesson();
        d->showRefusal(refused);
        d->showVideoIcon();
        d->m_pRecordCombo->hide();
        return;
    }
    if (d->m_pCommander->isCameraExist()) {
        if (ok) {
            KxAddActionByQueue("id_recording_start", QJsonObject());
            d->m_pShareWidget->setCurrentPath(d->m_strRecordName);
            d->m_pRecordCombo->showOnInitPos();
            d->m_pRecordCombo->startRecord();
            d->m_pRecordCombo->show();
            d->m_pShareWidget->setShareEnabled(!d->m_bNetworkDown);
            if (d->m_bNetworkDown)
                d->showNetworkPrompt("ID_NETWORK_CANTUSE");
            if (!d->m_pCommander->isCameraExist()) {
                d->showCameraMissing();
                d->stopRecording(false);
                d->m_pShareWidget->hide();
                d->showVideoIcon();
            }
            return;
        }
        d->showCameraOccupied();
    } else if (ok) {
        d->showCameraMissing();
        d->m_pCommander->stopToRecord(true);
    } else {
        d->showCameraOccupied();
    }
    d->endCountDownWithoutLesson();
    d->showVideoIcon();
    d->m_pRecordCombo->hide();
}

void KxMainWidgetCtrller::onClipImage()
{
    qDebug() << "KxMainWidgetCtrller::onClipImage";
    m_pData->m_pCommander->clipImage();
    m_pData->m_pRecordCombo->runClipAnimation();
}

void KxMainWidgetCtrller::onStopRecord(const int &elapsed)
{
    KxMainWidgetCtrllerPrivate *d = m_pData;
    qDebug() << "KxMainWidgetCtrller::onStopRecord" << "m_pData->m_bExiting: " << d->m_bExiting << "elapsed: " << elapsed;
    if (!d->isRecording())
        return;
    emit sigToCloseSelectDlg();
    emit sigToClosePrompt();
    d->stopRecording(false);
}

void KxMainWidgetCtrller::onCameraError()
{
    qDebug() << "KxMainWidgetCtrller::onCameraError";
    KxMainWidgetCtrllerPrivate *d = m_pData;
    // A late report after the recording already ended changes nothing.
    if (!d->isRecording())
        return;
    emit sigToCloseSelectDlg();
    d->stopRecording(false);
    d->showCameraMissing();
}

void KxMainWidgetCtrller::onLocalFileStopped(const QString &fn, const double &duration, const double &size)
{
    qDebug() << "KxMainWidgetCtrller::onLocalFileStopped" << fn << duration << size;
    m_pData->m_pShareWidget->onLocalFileStopped(fn, double(m_pData->m_iLastElapsed / 1000), size);
}

void KxMainWidgetCtrller::onShareExit()
{
    KxMainWidgetCtrllerPrivate *d = m_pData;
    qDebug() << "KxMainWidgetCtrller::onShareExit" << "m_pData->m_bExiting: " << d->m_bExiting;
    if (d->m_bExiting)
        return;
    d->m_pShareWidget->hide();
    d->showVideoIcon();
}

void KxMainWidgetCtrller::onShowCurrentWidget()
{
    qDebug() << "KxMainWidgetCtrller::onShowCurrentWidget";
    QWidget *w = m_pData->m_pCurrentWidget;
    if (!w || w->isVisible())
        return;
    if (w == m_pData->m_pRecordCombo->previewArea())
        m_pData->m_pRecordCombo->show();
    else
        w->show();
}

void KxMainWidgetCtrller::onShowAboutWindow()
{
    qDebug() << "KxMainWidgetCtrller::onShowAboutWindow";
    static bool s_open = false;
    if (s_open)
        return;
    s_open = true;
    KxMainWidgetCtrllerPrivate *d = m_pData;
    KxAddActionByQueue("id_about", QJsonObject());
    QPointer<KxAboutDlg> dlg = new KxAboutDlg(!d->m_bNetworkDown, tr("ID_ABOUT"), &d->m_dScale, d->m_pToastParent);
    connect(this, &KxMainWidgetCtrller::sigNetworkStatusChanged, dlg.data(), &KxAboutDlg::onNetworkStatusChanged);
    connect(this, &KxMainWidgetCtrller::sigToClosePrompt, dlg.data(), &QDialog::reject);
    QRect r = dlg->frameGeometry();
    r.moveCenter(primaryAvailable().center());
    dlg->move(r.topLeft());
    dlg->exec();
    delete dlg.data();
    s_open = false;
}

void KxMainWidgetCtrller::onNetworkStatusChanged(const bool &connected)
{
    KxMainWidgetCtrllerPrivate *d = m_pData;
    qDebug() << "KxMainWidgetCtrller::onNetworkStatusChanged" << connected;
    if (d->m_bNetworkDown == !connected)
        return;
    d->m_bNetworkDown = !connected;
    if (connected) {
        emit sigNetworkStatusChanged(connected);
        return;
    }
    d->m_pShareWidget->setShareEnabled(false);
    const QList<QString> pending = d->m_pCommander->cloudNotUploadList();
    if (d->isRecording())
        d->showNetworkPrompt("ID_NETWORK_DISCONNECTED");
    if (!pending.isEmpty()) {
        KxAddActionByQueue("id_uploading_disconnect", QJsonObject());
        auto *list = new KxUpdateListWidget(&d->m_dScale);
        list->setDatas(pending);
        list->show();
        d->m_pCommander->cancelUpload();
    }
    if (d->m_bExiting) {
        if (d->m_pProgressToast)
            d->m_pProgressToast->accept();
        else
            qApp->quit();
    }
    emit sigNetworkStatusChanged(connected);
}

void KxMainWidgetCtrller::onUploadStatusChanged(const QList<UploadProgress> &progresses)
{
    m_pData->onUploadStatusChanged(progresses);
}

void KxMainWidgetCtrllerPrivate::onUploadStatusChanged(const QList<UploadProgress> &progresses)
{
    int pieces = 0;
    for (const UploadProgress &p : progresses) {
        qDebug() << "KxMainWidgetCtrller::calculateTotalPiece" << p.taskId << p.taskName << p.total << p.finished;
        pieces += p.total - p.finished;
    }
    int percent = 0;
    if (m_iGlobalTotal == 0)
        m_iGlobalTotal = pieces;
    else
        percent = int(double(m_iGlobalTotal - pieces) / m_iGlobalTotal * 100);
    if (m_pProgressToast)
        emit m_pProgressToast->sigUpdateProgress(percent < 100 ? progresses.size() : 0, percent);
    qDebug() << "KxMainWidgetCtrller::onUploadStatusChanged" << "m_iGlobalTotal: " << m_iGlobalTotal
             << ", curTotal: " << pieces << ", percent: " << percent;
    if (percent < 100 && m_iGlobalTotal != 0)
        return;
    // Everything is up (or nothing was pending): the exit the teacher asked
    // for goes ahead. Rejecting here, as a cancel does, would bring the
    // program back instead of closing it.
    if (m_bExiting && m_pProgressToast)
        m_pProgressToast->accept();
}

void KxMainWidgetCtrller::onCloseWindow()
{
    m_pData->onCloseWindow();
}

void KxMainWidgetCtrllerPrivate::onCloseWindow()
{
    qDebug() << "KxMainWidgetCtrller::onCloseWindow" << "m_pData->m_bExiting: " << m_bExiting;
    if (m_bExiting)
        return;
    bool done = false;
    if (isRecording()) {
        KxAddActionByQueue("id_recording_exit", QJsonObject());
        static bool s_selectOpen = false;
        if (!s_selectOpen) {
            s_selectOpen = true;
            QPointer<KxSelectToast> select = new KxSelectToast(&m_dScale, m_pToastParent);
            QObject::connect(q, &KxMainWidgetCtrller::sigToCloseSelectDlg, select.data(), &QDialog::reject);
            select->showOnRefWidgetCenter(m_pRecordCombo->previewArea());
            const int result = select->exec();
            delete select.data();
            s_selectOpen = false;
            if (result == QDialog::Accepted && isRecording()) {
                emit q->sigToClosePrompt();
                stopRecording(true);
                done = showProgressToast();
            } else {
                qDebug() << "KxMainWidgetCtrller::onCloseWindow" << "go on recording";
            }
        }
    } else {
        if (m_pCurrentWidget)
            m_pCurrentWidget->hide();
        done = showProgressToast();
    }
    qDebug() << "KxMainWidgetCtrller::onCloseWindow" << "isUpdateDone: " << done;
    if (!m_bExiting)
        return;
    waitInEventLoop(300);
    qDebug() << "KxMainWidgetCtrller::onCloseWindow" << "exit app";
    qApp->quit();
}

bool KxMainWidgetCtrllerPrivate::showProgressToast()
{
    if (m_bNetworkDown) {
        m_bExiting = true;
        return true;
    }
    const bool finished = m_pCommander->isUploadDone();
    if (m_bExiting)
        return finished;
    qDebug() << "KxMainWidgetCtrller::showProgressToast" << " isUploadFinished: " << finished;
    m_bExiting = true;
    m_pCurrentWidget = nullptr;
    if (finished)
        return true;
    if (!m_pProgressToast) {
        emit q->sigToClosePrompt();
        m_pProgressToast = new KxProgressToast(&m_dScale, nullptr);
        QRect r = m_pProgressToast->frameGeometry();
        r.moveCenter(primaryGeometry().center());
        m_pProgressToast->move(r.topLeft());
        m_pProgressToast->show();
    }
    m_iGlobalTotal = 0;
    m_pCommander->startSendProgress();
    const int result = m_pProgressToast->exec();
    if (result == QDialog::Accepted) {
        KxAddActionByQueue("id_upload_done_exit", QJsonObject());
        qDebug() << "KxMainWidgetCtrller::showProgressToast" << "exit app";
        qApp->quit();
    } else {
        m_bExiting = false;
        showVideoIcon();
        m_pCommander->stopSendProgress();
    }
    m_pProgressToast->deleteLater();
    m_pProgressToast = nullptr;
    return finished;
}

namespace {

// The newest modification time below path (path itself included), read
// with lstat: links count as themselves and are never followed. 0 when
// nothing can be read.
qint64 newestModification(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    qint64 newest = qint64(st.st_mtime);
    if (!S_ISDIR(st.st_mode))
        return newest;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString entry = it.next();
        if (::lstat(QFile::encodeName(entry).constData(), &st) == 0)
            newest = qMax(newest, qint64(st.st_mtime));
    }
    return newest;
}

} // namespace

QStringList KxMainWidgetCtrller::delFilesSeveralDaysAgo(const QString &root, int days, const QDate &today)
{
    // Only the program's own lesson folders: the title, the start date and
    // time, and the " (n)" the commander adds to a name already taken.
    static const QRegularExpression lessonName(QStringLiteral("^%1 (\\d{8}) \\d{6}( \\(\\d+\\))?$")
                                                   .arg(QRegularExpression::escape(QString::fromLocal8Bit(kTitle))));
    QStringList removed;
    const QDir dir(root);
    for (const QString &name : dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDir::Unsorted)) {
        const QRegularExpressionMatch match = lessonName.match(name);
        if (!match.hasMatch())
            continue;
        const QString path = dir.absoluteFilePath(name);
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue; // a link (to wherever) or a file named like a lesson
        const QDate date = QDate::fromString(match.captured(1), "yyyyMMdd");
        if (!date.isValid() || date.daysTo(today) <= days)
            continue;
        // The name's date alone is not trusted: a PC that ran with a wrong
        // clock names new lessons with old dates.
        const QDate newest = QDateTime::fromSecsSinceEpoch(newestModification(path)).date();
        if (newest.daysTo(today) <= days) {
            qDebug() << "KxMainWidgetCtrller::delFilesSeveralDaysAgo" << path << "kept: its files are from" << newest;
            continue;
        }
        removed << path;
    }
    for (const QString &path : removed) {
        const bool ok = QDir(path).removeRecursively();
        qDebug() << "KxMainWidgetCtrller::delFilesSeveralDaysAgo" << "removed" << path << ok;
    }
    return removed;
}
