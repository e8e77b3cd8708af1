// The about dialog: the check button follows the network state, one click
// sends one version check, and the service's answer reaches the updater
// program unchanged except for the added "style" object.

#include "KxAboutDlg.h"
#include "KxUiTestSupport.h"

#include <QFile>
#include <QJsonDocument>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

TEST(KxAboutDlg, buttonFollowsNetwork)
{
    for (double scale : {1.0, 2.0}) {
        KxAboutDlg dlg(false, QCoreApplication::translate("KxMainWidgetCtrller", "ID_ABOUT"), &scale);
        EXPECT_EQ(dlg.size(), QSize(int(382 * scale), int(344 * scale)));
        auto *check = dlg.findChild<QPushButton *>("checkBtn");
        ASSERT_TRUE(check);
        EXPECT_FALSE(check->isEnabled());
        dlg.onNetworkStatusChanged(true);
        EXPECT_TRUE(check->isEnabled());
        kxSaveScreenshot(&dlg, "about_s" + QString::number(int(scale)));
        dlg.onNetworkStatusChanged(false);
        EXPECT_FALSE(check->isEnabled());
        dlg.hide();
    }
}

TEST(KxAboutDlg, answerGoesToUpdaterWithStyle)
{
    KxDevCloud *cloud = kxTestCloud();
    ASSERT_TRUE(cloud);
    const QJsonObject answer{{"hasNewVersion", true}, {"version", "2.3.4"}, {"url", cloud->url() + "pkg.deb"},
                             {"notes", QString::fromUtf8("修复若干问题")}};
    ASSERT_FALSE(cloud->admin("version", {{"json", QJsonDocument(answer).toJson(QJsonDocument::Compact)}}).isNull());

    // A stand-in updater that writes its one argument to a file.
    QTemporaryDir dir;
    const QString out = dir.filePath("argument.json");
    QFile script(dir.filePath("NorviSoftwareUpdate"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(QString("#!/bin/sh\nprintf '%s' \"$1\" > '%1.tmp' && mv '%1.tmp' '%1'\n").arg(out).toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("KX_UPDATER_DIR", dir.path().toLocal8Bit());

    double scale = 1;
    KxAboutDlg dlg(true, QCoreApplication::translate("KxMainWidgetCtrller", "ID_ABOUT"), &scale);
    QSignalSpy answers(KxNetrelay::getInst(nullptr)->softwareUpdate()->qobject(),
                       SIGNAL(sigAllVersionCheckResult(QJsonObject)));
    dlg.show();
    cloud->journal(true);
    // The answer waits a little, so both clicks land while the check runs.
    ASSERT_TRUE(cloud->addFault("api/version/check", "delay", 1, 0, 1500));
    auto *check = dlg.findChild<QPushButton *>("checkBtn");
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    // Through the window, as a real mouse: the second click lands where the
    // button was, which is hidden by then.
    const QPoint at = check->mapTo(&dlg, check->rect().center());
    QTest::mouseClick(dlg.windowHandle(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseClick(dlg.windowHandle(), Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_TRUE(check->isHidden());
    EXPECT_FALSE(dlg.findChild<QWidget *>("checkingLabel")->isHidden());

    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(out); }, 20000))
        << "answers: " << answers.count() << ", requests: "
        << QJsonDocument(cloud->journalFor("api/version/check")).toJson().toStdString();
    EXPECT_TRUE(dlg.isHidden());  // the dialog closes after the answer
    ASSERT_EQ(answers.count(), 1);
    QJsonObject expected = answers.at(0).at(0).toJsonObject();
    EXPECT_EQ(expected.value("data").toObject(), answer);
    expected.insert("style", QJsonObject{{"softName", "NorviMerioShare"},
                                         {"softSkinColorDefault", "#4665ff"},
                                         {"softSkinColorHover", "#4665ff"},
                                         {"softSkinColorPressed", "#4665ff"},
                                         {"softSkinColorDisable", "#9094ee"},
                                         {"language", "zh_CN"}});
    QFile arg(out);
    ASSERT_TRUE(arg.open(QIODevice::ReadOnly));
    EXPECT_EQ(QJsonDocument::fromJson(arg.readAll()).object(), expected);
    EXPECT_EQ(cloud->journalFor("api/version/check").size(), 1);
    qunsetenv("KX_UPDATER_DIR");
}
