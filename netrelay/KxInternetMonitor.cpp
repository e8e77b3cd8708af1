#include "KxInternetMonitor.h"

#include "KxHttpProbe.h"
#include "KxNetrelayConfig.h"

#include <sync/KxSync.h>

#include <QDebug>
#include <QTimer>

#include <atomic>
#include <mutex>

namespace {
constexpr int ProbeTimeoutMs = 3000;
constexpr int CheckTimeoutMs = 2000;
constexpr int RecheckAfterFailureMs = 500;
constexpr int QuitWaitMs = 5000;
}  // namespace

class KxInternetMonitorPrivate {
public:
    KxNetrelayConfig cfg = KxNetrelayConfig::current();
    std::atomic<bool> cancel{false};
    std::atomic<int> intervalMs{0};
    // Held by run() for its whole life. Taking it after QThread::wait()
    // orders the end of the thread before what follows in a way that
    // sanitizers can see (Qt's own wait is invisible to them).
    std::mutex runLock;
};

KxInternetMonitor::KxInternetMonitor(QObject *parent)
    : QThread(parent), m_pData(std::make_unique<KxInternetMonitorPrivate>())
{
    m_pData->intervalMs = m_pData->cfg.monitorIntervalMs;
    qInfo() << "KxInternetMonitor::KxInternetMonitor" << KxNetrelayConfig::logText(m_pData->cfg.serverUrl);
}

KxInternetMonitor::~KxInternetMonitor()
{
    quit();
    if (!wait(QuitWaitMs))
        qWarning() << "KxInternetMonitor::~KxInternetMonitor" << "thread did not end in time";
    wait();
    std::lock_guard<std::mutex> ended(m_pData->runLock);
}

bool KxInternetMonitor::checkInternet()
{
    const bool ok = m_pData->cfg.hasServer() && kxProbeHttp(m_pData->cfg, CheckTimeoutMs);
    qInfo() << "KxInternetMonitor::checkInternet" << ok;
    return ok;
}

void KxInternetMonitor::quit()
{
    m_pData->cancel = true;
    QThread::quit();
}

void KxInternetMonitor::setInterval(int ms)
{
    m_pData->intervalMs = ms > 0 ? ms : m_pData->cfg.monitorIntervalMs;
}

void KxInternetMonitor::run()
{
    kxsync::setCurrentThreadName("kx-netmon");
    KxInternetMonitorPrivate *d = m_pData.get();
    std::lock_guard<std::mutex> running(d->runLock);
    // A quit() that comes before exec() below still ends it at once: Qt
    // remembers it for the thread's event loop.
    d->cancel = false;
    if (!d->cfg.hasServer()) {
        qWarning() << "KxInternetMonitor::run" << "no server configured: offline";
        emit sigInternetChanged(false);
        exec();
        return;
    }

    int failuresInRow = 0;
    int reported = -1;  // nothing reported yet
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &timer, [&] {
        const bool ok = kxProbeHttp(d->cfg, ProbeTimeoutMs, &d->cancel);
        if (d->cancel)
            return;
        failuresInRow = ok ? 0 : failuresInRow + 1;
        // Online at the first answer; offline at once only when nothing was
        // reported yet, else after a second miss in a row.
        int state = reported;
        if (ok)
            state = 1;
        else if (reported != 0 && (reported < 0 || failuresInRow >= 2))
            state = 0;
        if (state != reported) {
            reported = state;
            qInfo() << "KxInternetMonitor::run" << "online" << bool(state);
            emit sigInternetChanged(state == 1);
        }
        timer.start(!ok && reported == 1 ? RecheckAfterFailureMs : d->intervalMs.load());
    });
    timer.start(0);
    exec();
}
