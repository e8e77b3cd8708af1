// Another process for the single-instance tests:
//   kx_single_peer serve|hang|crash|send ID [TEXT]
// serve: becomes the instance, prints "ready", prints the first message and exits 0;
// hang: becomes the instance, prints "ready" and never answers (sleeps 60 s);
// crash: becomes the instance, prints "ready" and is killed by SIGKILL;
// send: sends TEXT with a 5 s bound, exits 0 when it was received, else 1.
// Any mode that finds the id already taken (or free, for send) exits 2.

#include "KxSingleInstance.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 64;
    const QByteArray mode = argv[1];
    KxSingleInstance instance(QString::fromLocal8Bit(argv[2]));
    if (mode == "send")
        return !instance.isRunning() ? 2 : instance.sendMessage(QString::fromLocal8Bit(argc > 3 ? argv[3] : ""), 5000) ? 0 : 1;
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
    QTimer::singleShot(60000, &app, [&app] { app.exit(3); });
    return app.exec();
}
