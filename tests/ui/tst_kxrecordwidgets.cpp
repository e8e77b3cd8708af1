// The recording widgets: the click/drag rule of the idle button, the pair
// that moves together, sizes per scale, the record control's clock, colour
// and automatic stop, and the frame sets of the two animations.

#include "KxAnimatedWidget.h"
#include "KxCountDownWidget.h"
#include "KxRecordComboWidget.h"
#include "KxRecordCtrlWidget.h"
#include "KxUiTestSupport.h"
#include "KxVideoIconWidget.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

TEST(KxVideoIconWidget, wobbleClicksAndDragMoves)
{
    double scale = 1;
    KxVideoIconWidget icon(&scale);
    icon.move(300, 300);
    icon.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&icon));
    auto *label = icon.findChild<RecordIconLabel *>("recordiocn");
    ASSERT_TRUE(label);
    QSignalSpy clicked(&icon, &KxVideoIconWidget::sigToExit);

    struct Case { QPoint to; int clicks; QPoint moved; };
    const Case cases[] = {
        {{61, 56}, 1, {0, 0}},  // 5 pixels: a click, the button stays
        {{56, 51}, 1, {0, 0}},
        {{62, 56}, 0, {6, 0}},  // 6 pixels: a drag, no click
        {{56, 63}, 0, {0, 7}},
    };
    for (const Case &c : cases) {
        clicked.clear();
        const QPoint before = icon.pos();
        kxMousePress(label, {56, 56});
        kxMouseMove(label, c.to);
        kxMouseRelease(label, c.to);
        EXPECT_EQ(clicked.count(), c.clicks) << c.to.x() << "," << c.to.y();
        EXPECT_EQ(icon.pos() - before, c.moved) << c.to.x() << "," << c.to.y();
    }
}

TEST(KxRecordComboWidget, pairMovesTogether)
{
    double scale = 1;
    KxRecordComboWidget combo(&scale);
    combo.showOnInitPos();
    combo.show();
    KxTransCoverWidget *cover = combo.coverWidget();
    KxRecordCtrlWidget *ctrl = combo.ctrlWidget();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(cover));
    // Lower right, the control 4 pixels below the preview.
    EXPECT_EQ(ctrl->pos().y() - (cover->pos().y() + cover->height()), 4);
    EXPECT_EQ(ctrl->pos().x(), cover->pos().x());
    ASSERT_TRUE(combo.previewArea()->testAttribute(Qt::WA_NativeWindow));
    EXPECT_NE(combo.previewArea()->winId(), 0u);
    EXPECT_EQ(combo.previewArea()->geometry(), QRect(2, 2, 400, 225));

    const QPoint gap = ctrl->pos() - cover->pos();
    kxMousePress(ctrl, {5, 5});
    kxMouseMove(ctrl, {25, 12});
    kxMouseRelease(ctrl, {25, 12});
    EXPECT_EQ(ctrl->pos() - cover->pos(), gap);
    const QPoint ctrlBefore = ctrl->pos();
    kxMousePress(cover, {100, 100});
    kxMouseMove(cover, {70, 108});
    kxMouseRelease(cover, {70, 108});
    EXPECT_EQ(ctrl->pos() - ctrlBefore, QPoint(-30, 8));
    EXPECT_EQ(ctrl->pos() - cover->pos(), gap);

    QSignalSpy clip(&combo, &KxRecordComboWidget::sigToClipImg);
    QTest::mouseClick(ctrl->findChild<QPushButton *>("clipBtn"), Qt::LeftButton);
    EXPECT_EQ(clip.count(), 1);
    combo.runClipAnimation();
}

TEST(KxRecordWidgets, sizesFollowTheScale)
{
    for (double scale : {0.8, 1.0, 1.5, 2.0}) {
        KxVideoIconWidget icon(&scale);
        KxRecordCtrlWidget ctrl(&scale);
        KxRecordComboWidget combo(&scale);
        EXPECT_EQ(icon.size(), QSize(int(112 * scale), int(112 * scale))) << scale;
        EXPECT_EQ(ctrl.size(), QSize(int(192 * scale), int(48 * scale))) << scale;
        EXPECT_EQ(combo.coverWidget()->size(), QSize(int(404 * scale), int(229 * scale))) << scale;
        if (scale == 1.5) {
            EXPECT_EQ(icon.size(), QSize(168, 168));
            EXPECT_EQ(ctrl.size(), QSize(288, 72));
        }
        if (scale == 1.0 || scale == 2.0) {
            const QString s = QString::number(int(scale));
            kxSaveScreenshot(&icon, "videoicon_s" + s);
            combo.showOnInitPos();
            combo.ctrlWidget()->setElapsedSource([] { return 95000; });
            combo.startRecord();
            combo.ctrlWidget()->onRecordTimeChanged();
            kxSaveScreenshot(combo.coverWidget(), "preview_s" + s);
            kxSaveScreenshot(combo.ctrlWidget(), "recordctrl_s" + s);
            combo.stopRecord();
        }
    }
}

TEST(KxRecordCtrlWidget, clockColourAndAutomaticStop)
{
    kxTestCloud();
    double scale = 1;
    KxRecordCtrlWidget ctrl(&scale);
    int64_t now = 0;
    ctrl.setElapsedSource([&now] { return now; });
    QSignalSpy stopped(&ctrl, &KxRecordCtrlWidget::sigToExit);
    ctrl.startRecord();
    QLabel *label = ctrl.timeLabel();

    struct Tick { int64_t ms; const char *text; bool red; int stops; };
    const Tick ticks[] = {
        {0, "00:00", false, 0},         {149999, "02:29", false, 0}, {150000, "02:30", true, 0},
        {179999, "02:59", true, 0},     {180000, "03:00", true, 1},
    };
    for (const Tick &t : ticks) {
        now = t.ms;
        ctrl.onRecordTimeChanged();
        EXPECT_EQ(label->text(), t.text);
        EXPECT_EQ(label->styleSheet().contains("#ff2a3a"), t.red) << t.text;
        EXPECT_EQ(label->styleSheet().contains("color: #ffffff"), !t.red) << t.text;
        EXPECT_EQ(stopped.count(), t.stops) << t.text;
    }
    EXPECT_EQ(stopped.at(0).at(0).toInt(), 180000);
    // The timer is off after the automatic stop.
    now = 200000;
    QTest::qWait(250);
    EXPECT_EQ(stopped.count(), 1);
    EXPECT_EQ(label->text(), "03:00");

    // The owner's stop keeps the elapsed time once.
    ctrl.stopRecord();
    EXPECT_EQ(ctrl.takeLastElapsed(), 200000);
    EXPECT_EQ(ctrl.takeLastElapsed(), 0);

    // The stop button reports the duration as 00:mm:ss.
    ctrl.startRecord();
    now = 65400;
    ctrl.onRecordTimeChanged();
    stopped.clear();
    QTest::mouseClick(ctrl.findChild<QPushButton *>("stopBtn"), Qt::LeftButton);
    ASSERT_EQ(stopped.count(), 1);
    EXPECT_EQ(stopped.at(0).at(0).toInt(), 65400);

    const QJsonArray actions = kxReportedActions("id_recording_stop");
    QStringList ids;
    QString duration;
    for (const QJsonValue &a : actions) {
        ids << a.toObject().value("action").toString();
        if (ids.last() == "id_recording_stop")
            duration = a.toObject().value("info").toObject().value("duration").toString();
    }
    EXPECT_TRUE(ids.contains("id_recording_end")) << ids.join(",").toStdString();
    EXPECT_EQ(duration, "00:01:05");
}

TEST(KxAnimatedWidget, framesPlayOnceAndEnd)
{
    double scale = 1;
    KxAnimatedWidget start(":/img/images/startmovie", QSize(400, 300), 20, &scale);
    EXPECT_EQ(start.frameCount(), 125);
    KxCountDownWidget countdown(&scale);
    auto *inner = countdown.findChild<KxAnimatedWidget *>();
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->frameCount(), 75);
    EXPECT_EQ(countdown.findChild<QLabel *>("m_pInfoLbl")->size(), QSize(200, 50));

    QSignalSpy ended(&countdown, &KxCountDownWidget::sigToExit);
    countdown.show();
    countdown.startMovie();
    EXPECT_TRUE(ended.wait(10000));
    EXPECT_EQ(ended.count(), 1);
    QTest::qWait(100);
    EXPECT_EQ(ended.count(), 1);
    kxSaveScreenshot(&countdown, "countdown_end_s1");

    // Screenshots part way through both movies, at scales 1 and 2.
    for (double s : {1.0, 2.0}) {
        const QString tag = QString::number(int(s));
        KxAnimatedWidget movie(":/img/images/startmovie", QSize(int(400 * s), int(300 * s)), 20, &s);
        for (int i = 0; i < 70; ++i)
            QMetaObject::invokeMethod(&movie, "onTimeOut");
        kxSaveScreenshot(&movie, "startmovie_s" + tag);
        KxCountDownWidget cd(&s);
        auto *anim = cd.findChild<KxAnimatedWidget *>();
        for (int i = 0; i < 10; ++i)
            QMetaObject::invokeMethod(anim, "onTimeOut");
        kxSaveScreenshot(&cd, "countdown_s" + tag);
    }
}
