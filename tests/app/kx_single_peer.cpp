// The other process of the single-instance tests: kx_single_peer MODE ID [TEXT].
// serve, hang and crash take the id and print "ready"; then serve prints the
// first message and exits 0, hang sleeps without answering, crash is killed.
// send sends TEXT (5 s bound) and exits 0 when it was received, else 1.

#include "KxSingleInstance.h"

#include <QCoreApplication>
#include <QThread>

#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray mode = argc > 2 ? argv[1] : "";
    KxSingleInstance instance(QString::fromLocal8Bit(argc > 2 ? argv[2] : ""));
    if (mode == "send")
        return instance.sendMessage(QString::fromLocal8Bit(argc > 3 ? argv[3] : ""), 5000) ? 0 : 1;
    if (instance.isRunning())
        return 2;
    printf("ready\n");
    fflush(stdout);
    if (mode == "crash")
        raise(SIGKILL);
    if (mode == "hang")
        QThread::sleep(60);
    QObject::connect(&instance, &KxSingleInstance::messageReceived, &app, [&app](const QString &text) {
        printf("%s\n", text.toUtf8().constData());
        app.quit();
    });
    return app.exec();
}
