#include "KxQuitSignals.h"

#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int s_fds[2] = {-1, -1};
const int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void onQuitSignal(int signo)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    // Non-blocking: a full pipe means a quit is already pending.
    [[maybe_unused]] const ssize_t n = ::write(s_fds[0], &byte, 1);
    errno = saved;
}

} // namespace

KxQuitSignals::KxQuitSignals(QObject *parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, s_fds) != 0) {
        qWarning() << "KxQuitSignals::KxQuitSignals" << "socketpair failed:" << strerror(errno)
                   << "; termination signals keep their default action";
        s_fds[0] = s_fds[1] = -1;
        return;
    }
    m_pNotifier = new QSocketNotifier(s_fds[1], QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &KxQuitSignals::onReadable);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onQuitSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int signo : kSignals)
        ::sigaction(signo, &sa, nullptr);
}

KxQuitSignals::~KxQuitSignals()
{
    for (int signo : kSignals)
        ::signal(signo, SIG_DFL);
    delete m_pNotifier;
    for (int &fd : s_fds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void KxQuitSignals::onReadable()
{
    unsigned char bytes[16];
    ssize_t n;
    while ((n = ::read(s_fds[1], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            qWarning() << "KxQuitSignals::onReadable" << "signal" << int(bytes[i]) << "received: orderly stop";
            emit sigQuitRequested(int(bytes[i]));
        }
    }
}
