#include "KxAppServices.h"

#include "IKxNetWorkManager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTranslator>
#include <QVariant>

QString kxMessagePattern()
{
    return QStringLiteral("%{time [hh:mm:ss.zzz]} \t \"%{message}\" \t\t ");
}

IKxNetWorkManager *kxPublishNetworkManager(const KxVersionInfo &info)
{
    IKxNetWorkManager *net = KxNetrelay::getInst(nullptr);
    qApp->setProperty("IKxNetWorkManager", QVariant::fromValue(net));
    net->actionReporter()->setAppInfo(info.appKey, info.appName, info.version);
    net->actionReporter()->setUploadSize(info.uploadSize);
    return net;
}

QString kxPublishInstallationIdentity()
{
    const QString identity = kxInstallationIdentity(KxAppPaths::configIniPath());
    qApp->setProperty("app_uuid", identity);
    return identity;
}

QTranslator *kxInstallTranslation()
{
    const QString filePath = kxTranslationFilePath(QCoreApplication::applicationDirPath(), QLocale::system().language());
    qDebug() << "filePath" << filePath;
    auto *translator = new QTranslator;
    if (!translator->load(filePath))
        qWarning() << "kxInstallTranslation" << "no translation loaded from" << filePath;
    QCoreApplication::installTranslator(translator);
    return translator;
}
