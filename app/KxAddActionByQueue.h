#pragma once
// The one place where a user action is reported. Main thread.

#include <QJsonObject>
#include <QString>

/// Adds the installation identity ("app_uuid" property) to data as "uuid" and
/// queues the report on the network manager's action reporter (the
/// "IKxNetWorkManager" property); does nothing when there is no manager.
void KxAddActionByQueue(const QString &action, QJsonObject data);
