#pragma once
// Watches whether the cloud service can be reached.
//
// The thread (named "kx-netmon") asks the service for an HTTP answer every
// MonitorIntervalMs (version.ini, group "Cloud", default 3000 ms; see
// IKxNetWorkManager.h for where the file is found) and emits
// sigInternetChanged on its own thread: with the first result, and then
// whenever the state changes. The service is reported offline only after
// two failed probes in a row, so a single slow answer does not cut off the
// uploads of a running recording; it is reported online at the first
// answer. Without a ServerUrl the monitor reports offline once and then
// idles until it is asked to quit.

#include <QThread>

#include <memory>

class KxInternetMonitorPrivate;

class KxInternetMonitor : public QThread {
    Q_OBJECT
public:
    /// Reads the configuration; does not start the thread.
    explicit KxInternetMonitor(QObject *parent = nullptr);
    /// Asks the thread to quit and waits for it (at most a few seconds; it
    /// normally ends at once).
    ~KxInternetMonitor() override;

    /// Probes the service synchronously on the calling thread (meant for the
    /// main thread), waiting at most 2000 ms. Returns true when the service
    /// answered. Does not change what the thread reports.
    bool checkInternet();

    /// Ends the thread promptly, also in the middle of a probe; returns at
    /// once without waiting. Hides QThread::quit, which also works (it ends
    /// the thread's event loop the same way).
    void quit();

    /// Overrides the probe interval; takes effect at the next probe.
    void setInterval(int ms);

signals:
    /// Emitted on the monitor's thread; repeats are possible after quit/start.
    void sigInternetChanged(bool online);

protected:
    /// Thread body: runs an event loop that probes the service asynchronously.
    void run() override;

private:
    std::unique_ptr<KxInternetMonitorPrivate> m_pData;
};
