#pragma once
// Folders that only this user may use. The system temporary folder is
// shared between users: a name there may already be a symbolic link or a
// folder of someone else, planted to catch our files. Such a folder is never
// used, followed or wiped.

#include <QString>

/// True when path is a folder itself (not a symbolic link to one), owned by
/// the process's effective user, with no permission for group or others.
/// Otherwise false, with the reason in *why when why is not null.
bool kxIsPrivateFolder(const QString &path, QString *why = nullptr);

/// Creates path with mode 0700 when nothing exists there (its parent must
/// exist), then checks it with kxIsPrivateFolder. An existing folder is
/// neither changed nor wiped.
bool kxEnsurePrivateFolder(const QString &path, QString *why = nullptr);

/// Adds the effective user's id to a name ("NorviMerioShare" -> "NorviMerioShare-1000").
QString kxPerUserName(const QString &name);

/// True when the peer of a connected local socket runs as the effective
/// user of this process.
bool kxPeerIsSameUser(qintptr socketDescriptor);
