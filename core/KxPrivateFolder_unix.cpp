#include "KxPrivateFolder.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
void setWhy(QString *why, const QString &text)
{
    if (why)
        *why = text;
}
}  // namespace

bool kxIsPrivateFolder(const QString &path, QString *why)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
        setWhy(why, QStringLiteral("lstat: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        setWhy(why, QStringLiteral("is a symbolic link"));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        setWhy(why, QStringLiteral("is not a folder"));
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        setWhy(why, QStringLiteral("belongs to user %1").arg(st.st_uid));
        return false;
    }
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        setWhy(why, QStringLiteral("is open to other users (mode %1)").arg(st.st_mode & 07777, 4, 8, QLatin1Char('0')));
        return false;
    }
    return true;
}

bool kxEnsurePrivateFolder(const QString &path, QString *why)
{
    if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST) {
        setWhy(why, QStringLiteral("mkdir: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return false;
    }
    return kxIsPrivateFolder(path, why);
}

QString kxPerUserName(const QString &name)
{
    return QStringLiteral("%1-%2").arg(name).arg(::geteuid());
}

bool kxPeerIsSameUser(qintptr socketDescriptor)
{
    struct ucred cred;
    socklen_t size = sizeof(cred);
    if (::getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0)
        return false;
    return cred.uid == ::geteuid();
}
