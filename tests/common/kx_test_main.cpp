// Test entry point: a QCoreApplication exists for the whole run so that
// tests may use Qt's event loop, timers and queued signals. Qt's debug
// output is silenced unless KX_TEST_VERBOSE is set, so that a failing
// test's own messages stand out.

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cstdlib>

static void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    fprintf(stderr, "%s\n", qPrintable(msg));
}

int main(int argc, char **argv)
{
    if (!std::getenv("KX_TEST_VERBOSE"))
        qInstallMessageHandler(quietHandler);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
