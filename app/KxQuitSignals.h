#pragma once
// The termination signals (SIGTERM from a shutdown or `kill`, SIGINT from
// Ctrl-C, SIGHUP from a closed terminal) turned into a Qt signal on the
// thread that owns the object. The handler itself only writes one byte into
// a socket pair; everything else (stopping the lesson, finishing its file)
// runs in the event loop, where it is safe.

#include <QObject>

class QSocketNotifier;

class KxQuitSignals : public QObject {
    Q_OBJECT
public:
    /// Installs the handlers; one instance per process.
    explicit KxQuitSignals(QObject *parent = nullptr);
    /// Restores the default actions.
    ~KxQuitSignals() override;

signals:
    /// A termination signal arrived (its number); emitted once per signal.
    void sigQuitRequested(int signo);

private:
    void onReadable();
    QSocketNotifier *m_pNotifier = nullptr;
};
