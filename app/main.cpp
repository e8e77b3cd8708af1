// NorviMerioShare: the program's entry point. It makes the process the
// user's only instance, sets up the settings, the log, the network manager,
// the installation identity, the translation and the interface scale, then
// hands over to the main widget controller until the user quits.

#include "IKxNetWorkManager.h"
#include "KxAddActionByQueue.h"
#include "KxAppServices.h"
#include "KxFileLog.h"
#include "KxIdleMemory.h"
#include "KxMainWidgetCtrller.h"
#include "KxQuitSignals.h"
#include "KxSingleInstance.h"
#include "KxUiCommon.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QJsonObject>
#include <QScreen>
#include <QTranslator>
#include <QVariant>
#include <limits>

namespace {

const QString AppId = QStringLiteral("NorviMerioShare");
const QString WakeMessage = QStringLiteral("NorviMerioShare_active");

KxMainWidgetCtrller *mainController()
{
    return qvariant_cast<KxMainWidgetCtrller *>(qApp->property("MainCtrl"));
}

// A later start of the program asks the running one to show itself again.
void onInstanceMessage(const QString &message)
{
    if (message != WakeMessage)
        return;
    qDebug() << "onInstanceMessage" << qApp->property("MainCtrl");
    if (KxMainWidgetCtrller *ctrl = mainController())
        ctrl->reStartAnimation();
}

double screenScaleFactor()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? kxScaleFactorForWidth(screen->geometry().width()) : 1.0;
}

QString timeStamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
}

}  // namespace

int main(int argc, char *argv[])
{
    qSetMessagePattern(kxMessagePattern());
    kxGiveLargeBlocksTheirOwnMappings();

    // Every window is painted by the raster engine; nothing draws with
    // OpenGL. Left to itself, the X11 platform plugin loads the system's GL
    // driver at the first window anyway (with Mesa's software driver that is
    // LLVM: some 50 MB resident for the whole day). The plugin reads the
    // variable when it makes the first window; it is taken away again once
    // the controller has made its windows, so that it does not pass on to
    // programs started from here.
    const bool glChosen = qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION");
    if (!glChosen)
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    // Qt's bearer layer would scan the network interfaces every 10 s, all
    // day, for network sessions this program never opens (only a session
    // makes a request wait for it); whether the cloud can be reached is the
    // network monitor's probe's to tell. One scan at start, no polling.
    if (!qEnvironmentVariableIsSet("QT_BEARER_POLL_TIMEOUT"))
        qputenv("QT_BEARER_POLL_TIMEOUT", QByteArray::number(std::numeric_limits<int>::max()));
    QApplication app(argc, argv);
    KxSingleInstance instance(AppId);
    QObject::connect(&instance, &KxSingleInstance::messageReceived, &app, &onInstanceMessage, Qt::DirectConnection);

    if (instance.isRunning()) {
        qDebug() << "main" << "2" << app.property("MainCtrl");
        instance.sendMessage(WakeMessage, 5000);
        return 0;
    }

    const KxVersionInfo info = KxVersionInfo::read(KxAppPaths::versionIniPath());
    if (info.needLog)
        KxFileLog::install();

    IKxNetWorkManager *net = kxPublishNetworkManager(info);

    kxPublishInstallationIdentity();

    QTranslator *translator = kxInstallTranslation();

    double scale = screenScaleFactor();
    app.setProperty("scalefactor", scale);

    kxInstallFontFallbacks();
    auto *ctrl = new KxMainWidgetCtrller(&scale);
    if (!glChosen)
        qunsetenv("QT_XCB_GL_INTEGRATION");
    net->qobject()->setParent(ctrl);
    qDebug() << "main" << ctrl;
    app.setProperty("MainCtrl", QVariant::fromValue(ctrl));

    ctrl->startWithCameraCheck(true);

    // A shutdown's SIGTERM (or Ctrl-C) ends the program the orderly way: the
    // event loop quits, the controller stops a running lesson as kept, and
    // the commander finishes its file and gives the uploads a moment.
    KxQuitSignals quitSignals;
    QObject::connect(&quitSignals, &KxQuitSignals::sigQuitRequested, &app, &QCoreApplication::quit);

    QJsonObject data{{QStringLiteral("time"), timeStamp()}};
    KxAddActionByQueue(QStringLiteral("id_app_launch"), data);

    const int exitCode = app.exec();
    qDebug() << "main" << " exitCode: " << exitCode;

    data[QStringLiteral("time")] = timeStamp();
    KxAddActionByQueue(QStringLiteral("id_app_exit"), data);

    // The controller owns the network manager: neither may be found after it goes.
    app.setProperty("MainCtrl", QVariant());
    app.setProperty("IKxNetWorkManager", QVariant());
    delete ctrl;
    QCoreApplication::removeTranslator(translator);
    delete translator;
    return exitCode;
}
