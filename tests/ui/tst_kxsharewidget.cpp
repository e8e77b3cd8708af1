// The share window and its QR code: length and size text, heights per
// sharing state, codes of older recordings, QR images that a real decoder
// (zbarimg) reads back, and texts that fit no QR symbol.

#include "KxMerioSettingsData.h"
#include "KxQREncode.h"
#include "KxShareWidget.h"
#include "KxUiTestSupport.h"

#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QTest>
#include <QUrlQuery>

#include <gtest/gtest.h>

namespace {
const QString kQrName = QString::fromUtf8("扫码分享.jpg");

QString recordingDir(const QString &name)
{
    return KxMerioSettingsData::instance()->documentsPath() + "/" + name;
}

// The saved file itself, read back by a real decoder.
QString decode(const QString &imagePath)
{
    QProcess zbar;
    zbar.start("zbarimg", {"--quiet", "--raw", "-Sbinary", imagePath});
    if (!zbar.waitForFinished(20000))
        return "<zbarimg did not finish>";
    QByteArray out = zbar.readAllStandardOutput();
    if (out.endsWith('\n'))
        out.chop(1);
    return QString::fromUtf8(out);
}

QString shareTextFromCloud()
{
    KxDevCloud *cloud = kxTestCloud();
    if (!cloud)
        return {};
    const KxDevCloud::Reply r =
        cloud->request("POST", "api/merioclass/merioclassroom", "name=lesson", "application/x-www-form-urlencoded");
    return r.json().object().value("data").toString();
}
} // namespace

TEST(KxShareWidget, lengthSizeHeightsAndPages)
{
    for (double scale : {1.0, 2.0}) {
        KxShareWidget w(&scale);
        w.setFileName("MerioLesson 20261207 101500");
        w.onLocalFileStopped("MerioLesson 20261207 101500.mp4", 125, 2048);
        auto *length = w.findChild<QLabel *>("lengthLabel");
        EXPECT_EQ(length->text(), "00:02:05    2.00MB");
        EXPECT_EQ(w.findChild<QLabel *>("qrFileLabel")->text(), "MerioLesson 20261207 101500.mp4");
        EXPECT_EQ(w.findChild<QLabel *>("finishFileLabel")->text(), "MerioLesson 20261207 101500.mp4");
        w.onLocalFileStopped("x.mp4", 59, 300);
        EXPECT_EQ(length->text(), "00:00:59    0.29MB");

        w.setShareEnabled(false);
        EXPECT_EQ(w.size(), QSize(int(406 * scale), int(390 * scale)));
        EXPECT_TRUE(w.findChild<QWidget *>("finishPage")->isVisibleTo(&w));
        EXPECT_FALSE(w.findChild<QWidget *>("qrPage")->isVisibleTo(&w));
        const QString tag = QString::number(int(scale));
        kxSaveScreenshot(&w, "share_finish_s" + tag);
        // While open, the flag is only stored.
        w.setShareEnabled(true);
        EXPECT_EQ(w.height(), int(390 * scale));
        w.hide();
        w.setShareEnabled(true);
        EXPECT_EQ(w.size(), QSize(int(406 * scale), int(405 * scale)));
        EXPECT_TRUE(w.findChild<QWidget *>("qrPage")->isVisibleTo(&w));
        kxSaveScreenshot(&w, "share_nocode_s" + tag);
        w.onQRCodeChanged("MerioLesson 20261207 101500.mp4", "http://127.0.0.1:8080/watch?id=12");
        kxSaveScreenshot(&w, "share_qr_s" + tag);
        w.onBackBtnClicked();
        EXPECT_TRUE(w.findChild<QWidget *>("finishPage")->isVisibleTo(&w));
        w.onShareBtnClicked();
        EXPECT_TRUE(w.findChild<QWidget *>("qrPage")->isVisibleTo(&w));
    }
}

TEST(KxShareWidget, codesAreSavedShownAndDecodable)
{
    double scale = 1;
    KxShareWidget w(&scale);
    const QString older = "MerioLesson 20261207 090000";
    const QString current = "MerioLesson 20261207 100000";
    ASSERT_TRUE(QDir().mkpath(recordingDir(older)));
    ASSERT_TRUE(QDir().mkpath(recordingDir(current)));
    w.setCurrentPath(current);
    auto *qr = w.findChild<QLabel *>("qrLabel");
    auto *noCode = w.findChild<QLabel *>("noCodeLabel");

    const QString share = shareTextFromCloud();
    ASSERT_TRUE(share.startsWith("http://127.0.0.1:")) << share.toStdString();
    QString longText;
    for (int i = 0; longText.size() < 300; ++i)
        longText += QString("lesson-%1/").arg(i);
    longText.truncate(300);

    // A code for an older recording: saved in its folder, not shown.
    w.onQRCodeChanged(older + ".mp4", longText);
    EXPECT_TRUE(qr->isHidden());
    EXPECT_FALSE(noCode->isHidden());
    EXPECT_EQ(decode(recordingDir(older) + "/" + kQrName), longText);

    w.onQRCodeChanged(current + ".mp4", share);
    EXPECT_FALSE(qr->isHidden());
    EXPECT_TRUE(noCode->isHidden());
    EXPECT_EQ(qr->pixmap(Qt::ReturnByValue).size(), QSize(144, 144));
    EXPECT_EQ(decode(recordingDir(current) + "/" + kQrName), share);

    // A recording folder that cannot be written: nothing saved, code shown.
    const QString missing = "MerioLesson 20261207 110000";
    w.setCurrentPath(missing);
    EXPECT_TRUE(qr->isHidden());
    w.onQRCodeChanged(missing + ".mp4", share);
    EXPECT_FALSE(qr->isHidden());
    EXPECT_FALSE(QFile::exists(recordingDir(missing) + "/" + kQrName));

    // Empty and oversized texts: no symbol, the no-code label stays.
    w.setCurrentPath(current);
    for (const QString &bad : {QString(), QString(3000, 'x')}) {
        EXPECT_TRUE(KxQREncode().encode(bad, 5, Qt::black, Qt::white).isNull());
        w.onQRCodeChanged(current + ".mp4", bad);
        EXPECT_TRUE(qr->isHidden());
        EXPECT_FALSE(noCode->isHidden());
    }
}

TEST(KxQREncode, modulesWithoutQuietZone)
{
    const QImage img = KxQREncode().encode("abc", 5, QColor("#000000"), QColor("#ffffff"));
    // Version 2 at least: 25 modules of 5 pixels, a finder pattern in the corner.
    ASSERT_EQ(img.size(), QSize(125, 125));
    EXPECT_EQ(img.format(), QImage::Format_RGB32);
    EXPECT_EQ(img.pixel(0, 0), qRgb(0, 0, 0));
    EXPECT_EQ(img.pixel(5 * 6 + 2, 2), qRgb(0, 0, 0));
    EXPECT_EQ(img.pixel(5 * 7 + 2, 2), qRgb(255, 255, 255));
    EXPECT_EQ(img.pixel(5 * 1 + 2, 5 * 1 + 2), qRgb(255, 255, 255));
}
