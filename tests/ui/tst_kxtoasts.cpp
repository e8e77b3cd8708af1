// Toasts, prompts, the list of unsent files and the tray icon.

#include "KxMerioToastShell.h"
#include "KxPromptToast.h"
#include "KxSystemTrayIcon.h"
#include "KxUiTestSupport.h"
#include "KxUpdateListWidget.h"

#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

TEST(KxPromptToast, sizeAndSelfDeletion)
{
    double scale = 1;
    struct Case { bool icon; int height; };
    for (const Case c : {Case{true, 182}, Case{false, 58}}) {
        QPointer<KxPromptToast> toast = new KxPromptToast("ID_CAMERA_MISSING", 1, 18, &scale, c.icon);
        auto *text = toast->findChild<QLabel *>("textLabel");
        ASSERT_TRUE(text);
        const int w = text->width();
        EXPECT_GE(w, QFontMetrics(text->font()).horizontalAdvance("ID_CAMERA_MISSING"));
        EXPECT_GT(w, 100);
        EXPECT_EQ(toast->size(), QSize(w + 32, c.height));
        toast->showOnScreenCenter();
        // Gone after its life of one second, without a click.
        EXPECT_TRUE(QTest::qWaitFor([&] { return toast.isNull(); }, 5000));
    }

    // A click removes it at once.
    QPointer<KxPromptToast> toast = new KxPromptToast(QString::fromUtf8("网络已断开"), 30, 14, &scale, false);
    toast->showOnScreenCenter();
    kxMouseRelease(toast->findChild<QLabel *>("textLabel"), {3, 3});
    EXPECT_TRUE(QTest::qWaitFor([&] { return toast.isNull(); }, 2000));

    for (double s : {1.0, 2.0}) {
        const QString tag = QString::number(int(s));
        auto *withIcon = new KxPromptToast(QCoreApplication::translate("KxMainWidgetCtrller", "ID_CAMERA_MISSING"), 30, 18, &s, true);
        kxSaveScreenshot(withIcon, "prompt_icon_s" + tag);
        auto *plain = new KxPromptToast(QCoreApplication::translate("KxMainWidgetCtrller", "ID_RECORD_LEN_SHORT"), 30, 14, &s, false);
        kxSaveScreenshot(plain, "prompt_s" + tag);
        delete withIcon;
        delete plain;
    }
}

TEST(KxUpdateListWidget, scrollBarFromFiveRows)
{
    for (double scale : {1.0, 2.0}) {
        auto *list = new KxUpdateListWidget(&scale);
        EXPECT_EQ(list->size(), QSize(int(372 * scale), int(302 * scale)));
        KxUpdateWidget *rows = list->listWidget();
        list->show();
        QStringList names;
        for (int n = 1; n <= 5; ++n) {
            names << QString("MerioLesson 20261207 10%1000.mp4").arg(n);
            list->setDatas(names);
            QApplication::processEvents();
            ASSERT_EQ(rows->count(), n);
            EXPECT_EQ(rows->currentRow(), 0);
            EXPECT_EQ(rows->verticalScrollBar()->isVisible(), n > 4) << n;
            auto *last = qobject_cast<SingleLine *>(rows->itemWidget(rows->item(n - 1)));
            EXPECT_EQ(last->name(), names.last());
        }
        kxSaveScreenshot(list, "updatelist_s" + QString::number(int(scale)));
        QPointer<KxUpdateListWidget> guard = list;
        QTest::mouseClick(list->findChild<QPushButton *>("m_pOKBtn"), Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor([&] { return guard.isNull(); }, 2000));
    }
}

TEST(KxSystemTrayIcon, onlyASingleClickShows)
{
    double scale = 1;
    KxSystemTrayIcon tray(&scale);
    tray.show();  // no tray under Xvfb: nothing visible, nothing breaks
    QSignalSpy show(&tray, &KxSystemTrayIcon::sigToShowWidget);
    QSignalSpy about(&tray, &KxSystemTrayIcon::sigToShowAboutWindow);
    QSignalSpy exit(&tray, &KxSystemTrayIcon::sigToCloseWindow);
    for (auto reason : {QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Context,
                        QSystemTrayIcon::Trigger})
        emit tray.activated(reason);
    EXPECT_EQ(show.count(), 1);
    EXPECT_FALSE(tray.icon().isNull());
    const QList<QAction *> actions = tray.menu()->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions.at(0)->text(), QCoreApplication::translate("KxSystemTrayIcon", "ID_ABOUT"));
    actions.at(0)->trigger();
    actions.at(1)->trigger();
    EXPECT_EQ(about.count(), 1);
    EXPECT_EQ(exit.count(), 1);
    for (double s : {1.0, 2.0}) {
        KxSystemTrayIcon t(&s);
        t.menu()->popup(QPoint(200, 200));
        QTest::qWait(50);
        kxSaveScreenshot(t.menu(), "traymenu_s" + QString::number(int(s)));
        t.menu()->hide();
    }
}

TEST(KxMerioToastShell, progressAndSelectAnswers)
{
    double scale = 1;
    {
        KxProgressToast toast(&scale);
        EXPECT_EQ(toast.size(), QSize(360, 337));
        emit toast.sigUpdateProgress(3, 40);
        EXPECT_EQ(toast.findChild<QProgressBar *>("m_pProgressBar")->value(), 40);
        EXPECT_TRUE(toast.findChild<QLabel *>("m_pInfo1Label")->text().contains("3"));
        EXPECT_TRUE(toast.findChild<QLabel *>("m_pInfo2Label")->text().contains("40"));
    }
    struct Case { bool progress; const char *button; int result; };
    const Case cases[] = {{true, "confirmBtn", 1}, {true, "cancelBtn", 0},
                          {false, "m_pExitBtn", 1}, {false, "m_pRecordBtn", 0}};
    for (const Case &c : cases) {
        std::unique_ptr<KxMerioToastShell> toast;
        if (c.progress)
            toast = std::make_unique<KxProgressToast>(&scale);
        else
            toast = std::make_unique<KxSelectToast>(&scale);
        QTimer::singleShot(100, toast.get(), [&] {
            QTest::mouseClick(toast->findChild<QPushButton *>(c.button), Qt::LeftButton);
        });
        QTimer::singleShot(5000, toast.get(), &QDialog::reject);  // bound if the click went nowhere
        EXPECT_EQ(toast->exec(), c.result) << c.button;
    }
    for (double s : {1.0, 2.0}) {
        const QString tag = QString::number(int(s));
        KxProgressToast progress(&s);
        emit progress.sigUpdateProgress(2, 65);
        progress.moveToScreenCenter();
        kxSaveScreenshot(&progress, "progress_s" + tag);
        KxSelectToast select(&s);
        EXPECT_EQ(select.size(), QSize(int(360 * s), int(274 * s)));
        kxSaveScreenshot(&select, "select_s" + tag);
    }
}
