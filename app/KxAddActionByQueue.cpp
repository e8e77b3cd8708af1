#include "KxAddActionByQueue.h"

#include "IKxNetWorkManager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QVariant>

void KxAddActionByQueue(const QString &action, QJsonObject data)
{
    qDebug() << "KxAddActionByQueue" << action << data;
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    data["uuid"] = app->property("app_uuid").toString();
    qDebug() << "KxAddActionByQueue" << action << data;
    IKxNetWorkManager *net = app->property("IKxNetWorkManager").value<IKxNetWorkManager *>();
    if (net && net->actionReporter())
        net->actionReporter()->addAction(action, data);
}
