#include "KxUiTestSupport.h"

#include "IKxNetWorkManager.h"
#include "KxUiCommon.h"

#include <QApplication>
#include <QDir>
#include <QMouseEvent>
#include <QPainter>
#include <QTemporaryDir>
#include <QTranslator>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {
void send(QWidget *target, QEvent::Type type, QPoint pos, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, pos, target->mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}
} // namespace

void kxMousePress(QWidget *target, QPoint pos)
{
    send(target, QEvent::MouseButtonPress, pos, Qt::LeftButton, Qt::LeftButton);
}

void kxMouseMove(QWidget *target, QPoint pos)
{
    send(target, QEvent::MouseMove, pos, Qt::NoButton, Qt::LeftButton);
}

void kxMouseRelease(QWidget *target, QPoint pos)
{
    send(target, QEvent::MouseButtonRelease, pos, Qt::LeftButton, Qt::NoButton);
}

QString kxSaveScreenshot(QWidget *window, const QString &name)
{
    if (!window->isVisible())
        window->show();
    QApplication::processEvents();
    const QPixmap shot = window->grab();
    // A calm desktop behind the translucent windows, as a teacher would see them.
    QImage img(shot.size(), QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    QLinearGradient g(0, 0, img.width(), img.height());
    g.setColorAt(0, QColor(0xd9, 0xe2, 0xec));
    g.setColorAt(1, QColor(0x9f, 0xb3, 0xc8));
    p.fillRect(img.rect(), g);
    p.drawPixmap(0, 0, shot);
    p.end();
    const QString dir = QString::fromLocal8Bit(qgetenv("KX_SCREENSHOT_DIR"));
    QDir().mkpath(dir);
    const QString path = dir + "/" + name + ".png";
    EXPECT_TRUE(img.save(path)) << path.toStdString();
    return path;
}

KxDevCloud *kxTestCloud()
{
    static std::unique_ptr<KxDevCloud> cloud;
    static bool tried = false;
    if (!tried) {
        tried = true;
        cloud = std::make_unique<KxDevCloud>();
        QString error;
        // Generous: the machine may be busy building while the tests run.
        if (!cloud->start(&error, {}, 45000)) {
            ADD_FAILURE() << "devcloud: " << error.toStdString();
            cloud.reset();
            return nullptr;
        }
        qputenv("KX_VERSION_INI", cloud->writeVersionIni().toLocal8Bit());
        IKxNetWorkManager *mgr = KxNetrelay::getInst(nullptr);
        qApp->setProperty("IKxNetWorkManager", QVariant::fromValue(mgr));
    }
    return cloud.get();
}

QJsonArray kxReportedActions(const QString &waitForId, int timeoutMs)
{
    KxDevCloud *cloud = kxTestCloud();
    QJsonArray actions;
    if (!cloud)
        return actions;
    const auto collect = [&] {
        actions = QJsonArray();
        bool found = waitForId.isEmpty();
        for (const QJsonValue &entry : cloud->journalFor("api/action/report")) {
            for (const QJsonValue &a : entry.toObject().value("json").toObject().value("actions").toArray()) {
                actions.append(a);
                found = found || a.toObject().value("action").toString() == waitForId;
            }
        }
        return found;
    };
    if (!waitForId.isEmpty())
        kxWaitUntil(collect, timeoutMs);
    collect();
    return actions;
}

int main(int argc, char **argv)
{
    if (!std::getenv("KX_TEST_VERBOSE"))
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
            if (type != QtDebugMsg && type != QtInfoMsg)
                fprintf(stderr, "%s\n", qPrintable(msg));
        });
    // The windows need the test runner's X server; without one they still
    // work off screen.
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Recordings and QR images go to a private home, not the user's.
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    QApplication app(argc, argv);
    app.setProperty("app_uuid", "0123456789abcdef0123456789abcdef");
    kxInstallFontFallbacks();
    QTranslator translator;
    // KX_UI_LANG=en shows the windows with the English texts.
    const QString lang = qEnvironmentVariableIsEmpty("KX_UI_LANG") ? "zh_CN" : qEnvironmentVariable("KX_UI_LANG");
    if (translator.load(QString::fromLocal8Bit(qgetenv("KX_BIN_DIR")) +
                        "/Environment/translations/NorviMerioShare_" + lang + ".qm"))
        app.installTranslator(&translator);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
