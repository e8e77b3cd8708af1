// The program's flow through the real controller, commander and widgets on
// the test runner's X server: the virtual camera, a private PulseAudio
// daemon with the unit's microphone and a private devcloud. Every step is
// driven by mouse events on the real widgets (the tray's menu actions stand
// in for a tray, which Xvfb has not); a screenshot of each state goes to
// <build>/screenshots.

#include "KxDevCloudFixture.h"
#include "KxMainWidgetCtrller.h"
#include "KxMasterCommander.h"
#include "KxMerioSettingsData.h"
#include "KxMerioToastShell.h"
#include "KxPromptToast.h"
#include "KxPulseFixture.h"
#include "KxRecordCtrlWidget.h"
#include "KxShareWidget.h"
#include "KxSystemTrayIcon.h"
#include "KxTestMedia.h"
#include "KxUiTestSupport.h"
#include "KxVideoIconWidget.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <QTranslator>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <signal.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

template <typename T>
T *visibleTopLevel()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (T *t = qobject_cast<T *>(w); t && t->isVisible())
            return t;
    return nullptr;
}

void click(QWidget *target)
{
    ASSERT_NE(target, nullptr);
    const QPoint centre = target->rect().center();
    kxMousePress(target, centre);
    kxMouseRelease(target, centre);
}

// How a lesson's MP4 file begins: its streams, the first stamps, and what
// the first second holds (video frames, sound frames, loudness of the sound
// after the encoder's priming frame).
struct LessonStart {
    std::vector<std::string> streams; // "video 27 1280x720", "audio 86018 44100 Hz 2 ch"
    double firstVideo = -1, firstAudio = -1;
    int videoInFirstSecond = 0, audioInFirstSecond = 0;
    double firstSecondRms = 0;
    int decodeErrors = -1;
};

LessonStart lessonStart(const QString &mp4)
{
    LessonStart r;
    if (!kxWaitUntil([&] { return kxtest::regularMp4Seconds(mp4.toStdString()) > 0; }, 20000))
        return r; // not finished into a regular MP4 file
    const kxtest::ProbeResult probe = kxtest::probeFile(mp4.toStdString(), true, false);
    if (!probe.opened)
        return r;
    r.decodeErrors = probe.decodeErrors;
    for (const kxtest::ProbedStream &s : probe.streams)
        r.streams.push_back(s.mediaType == 0 ? "video " + std::to_string(s.codecId) + " " + std::to_string(s.width) + "x" +
                                                   std::to_string(s.height)
                                             : "audio " + std::to_string(s.codecId) + " " + std::to_string(s.sampleRate) +
                                                   " Hz " + std::to_string(s.channels) + " ch");
    for (const kxtest::ProbedPacket &p : probe.packets) {
        const bool video = probe.streams[size_t(p.stream)].mediaType == 0;
        double &first = video ? r.firstVideo : r.firstAudio;
        first = first < 0 ? p.pts : std::min(first, p.pts);
        if (p.pts < 1.0)
            ++(video ? r.videoInFirstSecond : r.audioInFirstSecond);
    }
    const QString pcm = mp4 + ".f32";
    std::string out;
    if (kxtest::runCommand("ffmpeg -v error -y -i '" + mp4.toStdString() + "' -t 1 -vn -ac 1 -f f32le '" +
                               pcm.toStdString() + "'", &out, 60) == 0) {
        QFile file(pcm);
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = file.readAll();
            const auto *x = reinterpret_cast<const float *>(bytes.constData());
            const int n = bytes.size() / int(sizeof(float));
            double sum = 0;
            for (int i = 2048; i < n; ++i)
                sum += double(x[i]) * x[i];
            r.firstSecondRms = n > 2048 ? std::sqrt(sum / (n - 2048)) : 0;
        }
        QFile::remove(pcm);
    }
    return r;
}

void expectRecordedFromTheFirstSecond(const LessonStart &l)
{
    std::printf("video from %.3f s (%d frames in the first second), sound from %.3f s (%d frames, RMS %.3f)\n",
                l.firstVideo, l.videoInFirstSecond, l.firstAudio, l.audioInFirstSecond, l.firstSecondRms);
    EXPECT_EQ(l.decodeErrors, 0);
    EXPECT_GE(l.firstVideo, 0.0);
    EXPECT_LT(l.firstVideo, 0.5);
    EXPECT_GE(l.firstAudio, 0.0);
    EXPECT_LT(l.firstAudio, 0.5);
    EXPECT_GE(l.videoInFirstSecond, 5);
    EXPECT_GE(l.audioInFirstSecond, 30);
    EXPECT_GT(l.firstSecondRms, 0.05) << "the microphone's tone in the first second";
}

// Sound-server capture streams this process holds open.
int ownCaptureStreams(KxPulseDaemon *pulse)
{
    QString listing;
    if (!pulse->pactl({"list", "source-outputs"}, &listing))
        return -1;
    const QString pid = QString("application.process.id = \"%1\"").arg(QCoreApplication::applicationPid());
    return listing.count(pid);
}

// Runs the application's event loop while script steps run; returns exec's
// code, or -1 when the program did not quit within timeoutMs.
int runUntilQuit(const std::function<void()> &start, int timeoutMs)
{
    QTimer::singleShot(0, start);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { qApp->exit(-1); });
    watchdog.start(timeoutMs);
    return qApp->exec();
}

// Clicks the named button of the first visible dialog of type T, as soon as
// one shows (polled while a modal loop runs).
template <typename T>
void clickWhenShown(const char *button, QString *screenshot = nullptr)
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [poll, button, screenshot] {
        T *dlg = visibleTopLevel<T>();
        if (!dlg)
            return;
        poll->stop();
        poll->deleteLater();
        if (screenshot)
            *screenshot = kxSaveScreenshot(dlg, QString("flow_") + T::staticMetaObject.className());
        click(dlg->template findChild<QAbstractButton *>(button));
    });
    poll->start(50);
}

class ControllerFlow : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_tmp = new QTemporaryDir;
        qputenv("TMPDIR", QFile::encodeName(s_tmp->path()));
        qputenv("XDG_DATA_HOME", QFile::encodeName(s_tmp->filePath("data")));
        qputenv("KX_VIRTUAL_CAMERA", "default");
        s_pulse = new KxPulseDaemon;
        ASSERT_TRUE(s_pulse->start()) << s_pulse->lastError().toStdString();
        ASSERT_NE(kxTestCloud(), nullptr);
    }
    static void TearDownTestSuite()
    {
        delete s_pulse;
        delete s_tmp;
    }
    void SetUp() override { ctrl = new KxMainWidgetCtrller(&scale); }
    void TearDown() override
    {
        delete ctrl;
        QApplication::processEvents();
    }

    QWidget *current() const { return qobject_cast<QWidget *>(ctrl->currentWidget()); }
    KxRecordCtrlWidget *recordCtrl() const { return visibleTopLevel<KxRecordCtrlWidget>(); }

    // From the start animation to a running recording.
    void startRecording()
    {
        ctrl->startWithCameraCheck(true);
        ASSERT_TRUE(kxWaitUntil([&] { return qobject_cast<KxVideoIconWidget *>(current()); }, 10000));
        kxSaveScreenshot(current(), "flow_1_idle");
        click(current()->findChild<QLabel *>("recordiocn"));
        ASSERT_TRUE(kxWaitUntil([&] { return recordCtrl() != nullptr; }, 10000)) << "no recording started";
    }
    void recordUntil(const QString &shown, int timeoutMs)
    {
        ASSERT_TRUE(kxWaitUntil([&] { return recordCtrl()->findChild<QLabel *>("m_pTimeLabel")->text() == shown; },
                                timeoutMs));
    }
    QString recordingFolder() const
    {
        const QStringList names = QDir(KxMerioSettingsData::instance()->documentsPath())
                                      .entryList({"MerioLesson *"}, QDir::Dirs, QDir::Time);
        return names.isEmpty() ? QString() : KxMerioSettingsData::instance()->documentsPath() + "/" + names.first();
    }

    double scale = 1.0;
    KxMainWidgetCtrller *ctrl = nullptr;
    static QTemporaryDir *s_tmp;
    static KxPulseDaemon *s_pulse;
};

QTemporaryDir *ControllerFlow::s_tmp = nullptr;
KxPulseDaemon *ControllerFlow::s_pulse = nullptr;

} // namespace

// Icon, countdown, a 7-second lesson with a snapshot, stop, and the share
// window whose QR code is the share text the service returned.
TEST_F(ControllerFlow, LessonFromTheIconToTheQrCode)
{
    startRecording();
    kxSaveScreenshot(recordCtrl(), "flow_2_recording_control");
    recordUntil("00:02", 8000);
    click(recordCtrl()->findChild<QWidget *>("clipBtn"));
    recordUntil("00:07", 10000);
    click(recordCtrl()->findChild<QWidget *>("stopBtn"));

    auto *share = qobject_cast<KxShareWidget *>(current());
    ASSERT_NE(share, nullptr) << "the share window stands for the state after a 7-second lesson";
    ASSERT_TRUE(share->isVisible());
    const QString folder = recordingFolder();
    const QString name = QFileInfo(folder).fileName();
    const QString qrImage = folder + "/扫码分享.jpg";
    ASSERT_TRUE(kxWaitUntil([&] { return QFileInfo(qrImage).size() > 0; }, 20000)) << "no QR code arrived";
    QLabel *qrLabel = share->findChild<QLabel *>("qrLabel");
    ASSERT_TRUE(kxWaitUntil([&] { return qrLabel->isVisible(); }, 2000));
    kxSaveScreenshot(share, "flow_3_share");

    std::string decoded;
    ASSERT_EQ(kxtest::runCommand("zbarimg --raw -q '" + qrImage.toStdString() + "' 2>/dev/null", &decoded, 30), 0);
    // zbarimg may chatter about D-Bus before the symbol's text: keep the last line.
    const QStringList zbarLines = QString::fromStdString(decoded).split('\n', Qt::SkipEmptyParts);
    decoded = zbarLines.isEmpty() ? std::string() : zbarLines.last().trimmed().toStdString();
    // The service's share text: the watch page of the lesson's classroom.
    const QRegularExpression shareText("^" + QRegularExpression::escape(kxTestCloud()->url()) + "watch\\?id=\\d+$");
    EXPECT_TRUE(shareText.match(QString::fromStdString(decoded)).hasMatch()) << decoded;
    EXPECT_TRUE(QFileInfo(folder + "/" + name + ".mp4").size() > 0);
    EXPECT_TRUE(QFileInfo(folder + "/MerioLesson1.jpg").size() > 0);
    EXPECT_TRUE(share->findChild<QLabel *>("lengthLabel")->text().startsWith("00:00:07"));

    click(share->findChild<QWidget *>("closeBtn"));
    EXPECT_TRUE(qobject_cast<KxVideoIconWidget *>(current()));
    EXPECT_FALSE(share->isVisible());

    // The lesson was started right after the program (the countdown
    // included) and records from its first second: picture and sound
    // stamped from about 0, frames of both and the microphone's tone in it.
    const LessonStart first = lessonStart(folder + "/" + name + ".mp4");
    EXPECT_EQ(first.streams, (std::vector<std::string>{"audio 86018 44100 Hz 2 ch", "video 27 1280x720"}));
    expectRecordedFromTheFirstSecond(first);

    // Idle again: what the lesson opened is given back (no capture stream
    // is held), and the next lesson opens it again and records as the
    // first did.
    EXPECT_TRUE(kxWaitUntil([&] { return ownCaptureStreams(s_pulse) == 0; }, 5000))
        << "the microphone stays open while the program idles";
    click(current()->findChild<QLabel *>("recordiocn"));
    ASSERT_TRUE(kxWaitUntil([&] { return recordCtrl() != nullptr; }, 10000)) << "no second recording started";
    EXPECT_EQ(ownCaptureStreams(s_pulse), 1);
    recordUntil("00:06", 10000);
    click(recordCtrl()->findChild<QWidget *>("stopBtn"));
    const QString secondFolder = recordingFolder();
    ASSERT_NE(secondFolder, folder);
    const LessonStart second = lessonStart(secondFolder + "/" + QFileInfo(secondFolder).fileName() + ".mp4");
    EXPECT_EQ(second.streams, first.streams);
    expectRecordedFromTheFirstSecond(second);
    EXPECT_NEAR(second.firstVideo, first.firstVideo, 0.25);
    EXPECT_NEAR(second.firstAudio, first.firstAudio, 0.25);
    click(qobject_cast<KxShareWidget *>(current())->findChild<QWidget *>("closeBtn"));
    EXPECT_TRUE(kxWaitUntil([&] { return ownCaptureStreams(s_pulse) == 0; }, 5000));
}

// A lesson shorter than five seconds: the short prompt, no share window and
// no folder. A second start of the program in the idle state replays the
// start animation; during a recording it changes nothing.
TEST_F(ControllerFlow, ShortLessonAndSecondStarts)
{
    startRecording();
    QWidget *recording = current();
    ctrl->reStartAnimation();
    EXPECT_EQ(current(), recording) << "a second start during a recording changes nothing";
    const QString folder = recordingFolder();
    recordUntil("00:02", 8000);
    click(recordCtrl()->findChild<QWidget *>("stopBtn"));
    EXPECT_TRUE(qobject_cast<KxVideoIconWidget *>(current()));
    KxPromptToast *prompt = visibleTopLevel<KxPromptToast>();
    ASSERT_NE(prompt, nullptr);
    kxSaveScreenshot(prompt, "flow_4_short_prompt");
    EXPECT_EQ(visibleTopLevel<KxShareWidget>(), nullptr);
    EXPECT_TRUE(kxWaitUntil([&] { return !QDir(folder).exists(); }, 5000)) << folder.toStdString();

    ctrl->reStartAnimation();
    EXPECT_FALSE(qobject_cast<KxVideoIconWidget *>(current())) << "the start animation plays again";
    EXPECT_TRUE(kxWaitUntil([&] { return qobject_cast<KxVideoIconWidget *>(current()); }, 10000));
}

// The camera is there but no microphone matches: the teacher is asked
// before the countdown; "cancel" leaves the program idle, "record without
// sound" starts the lesson.
TEST_F(ControllerFlow, NoMicrophoneAsksBeforeTheCountdown)
{
    KxMerioSettingsData *settings = KxMerioSettingsData::instance();
    const QString camera = settings->cameraNamePattern();
    const QString microphone = settings->audioDevicePattern();
    settings->setDevicePatterns(camera, "No Such Unit");
    ctrl->startWithCameraCheck(true);
    ASSERT_TRUE(kxWaitUntil([&] { return qobject_cast<KxVideoIconWidget *>(current()); }, 10000));
    for (const auto role : {QMessageBox::RejectRole, QMessageBox::AcceptRole}) {
        click(current()->findChild<QLabel *>("recordiocn"));
        QMessageBox *box = nullptr;
        ASSERT_TRUE(kxWaitUntil([&] { return (box = visibleTopLevel<QMessageBox>()) != nullptr; }, 5000));
        EXPECT_EQ(box->text(), KxMainWidgetCtrller::tr("ID_NO_MICROPHONE"));
        EXPECT_TRUE(qobject_cast<KxVideoIconWidget *>(current())) << "no countdown before the answer";
        if (role == QMessageBox::AcceptRole)
            kxSaveScreenshot(box, "flow_no_microphone");
        QAbstractButton *answer = nullptr;
        for (QAbstractButton *b : box->buttons())
            if (box->buttonRole(b) == role)
                answer = b;
        click(answer);
        ASSERT_TRUE(kxWaitUntil([&] { return visibleTopLevel<QMessageBox>() == nullptr; }, 5000));
    }
    // Only the second answer started a lesson (thrown away: too short).
    ASSERT_TRUE(kxWaitUntil([&] { return recordCtrl() != nullptr; }, 10000)) << "no recording started";
    click(recordCtrl()->findChild<QWidget *>("stopBtn"));
    EXPECT_TRUE(qobject_cast<KxVideoIconWidget *>(current()));
    settings->setDevicePatterns(camera, microphone);
}

// Every way out keeps the lesson as a regular MP4 file as long as it: exit
// confirmed from the tray during a 7-second lesson, and the application told
// to quit (QEvent::Quit, as at a logout) during one.
TEST_F(ControllerFlow, ExitOrQuitDuringALessonKeepsIt)
{
    for (bool fromTray : {true, false}) {
        startRecording();
        recordUntil("00:07", 12000);
        const QString folder = recordingFolder();
        QString selectShot;
        EXPECT_EQ(runUntilQuit([&] {
            if (!fromTray)
                return QCoreApplication::postEvent(qApp, new QEvent(QEvent::Quit));
            clickWhenShown<KxSelectToast>("m_pExitBtn", &selectShot);
            ctrl->findChild<KxSystemTrayIcon *>()->contextMenu()->actions().last()->trigger();
        }, 30000), 0);
        EXPECT_EQ(fromTray, !selectShot.isEmpty()) << "the exit question";
        delete ctrl;
        ctrl = new KxMainWidgetCtrller(&scale);
        const double seconds = kxtest::regularMp4Seconds((folder + "/" + QFileInfo(folder).fileName() + ".mp4").toStdString());
        EXPECT_GT(seconds, 7.0) << fromTray;
        EXPECT_LT(seconds, 9.5) << fromTray;
    }
}

// SIGTERM to the real program during a lesson (what a shutdown sends): the
// lesson is kept and the program exits 0. KX_SIGTERM_LESSON_S sets the
// lesson's length for measuring the stop by hand.
TEST_F(ControllerFlow, SigtermToTheProgramKeepsTheLesson)
{
    delete ctrl; // the program must be the only recording process
    ctrl = nullptr;
    const QDir docs(KxMerioSettingsData::instance()->documentsPath());
    const int before = docs.entryList({"MerioLesson *"}, QDir::Dirs).size();
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(qEnvironmentVariable("KX_BIN_DIR") + "/NorviMerioShare", QStringList());
    // Clicks the record button at the centre of the test runner's 1920x1080
    // screen once the start animation has ended.
    QString mp4;
    for (int i = 0; i < 40 && mp4.isEmpty(); ++i) {
        kxWaitUntil([] { return false; }, 1000);
        const QStringList now = docs.entryList({"MerioLesson *"}, QDir::Dirs, QDir::Time);
        if (now.size() == before && i >= 3)
            kxtest::runCommand("xdotool mousemove 960 543 click 1", nullptr, 10);
        else if (now.size() > before && QFileInfo::exists(docs.filePath(now[0] + "/" + now[0] + ".mp4")))
            mp4 = docs.filePath(now[0] + "/" + now[0] + ".mp4");
    }
    ASSERT_FALSE(mp4.isEmpty()) << "no lesson started";
    QElapsedTimer lesson;
    lesson.start();
    kxWaitUntil([] { return false; }, 1000 * qEnvironmentVariableIntValue("KX_SIGTERM_LESSON_S") ?: 8000);
    ::kill(pid_t(program.processId()), SIGTERM);
    const double stoppedAt = lesson.elapsed() / 1000.0;
    ASSERT_TRUE(program.waitForFinished(15000)) << "the program did not end after SIGTERM";
    std::printf("orderly stop: %.2f s from SIGTERM to exit\n", lesson.elapsed() / 1000.0 - stoppedAt);
    EXPECT_EQ(program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1, 0);
    EXPECT_NEAR(kxtest::regularMp4Seconds(mp4.toStdString()), stoppedAt, 1.0) << mp4.toStdString();
}

// Exit while segments are still uploading: the progress toast shows and the
// program quits once they are up.
TEST_F(ControllerFlow, ExitWaitsForPendingUploads)
{
    KxDevCloud *cloud = kxTestCloud();
    startRecording();
    recordUntil("00:06", 10000);
    ASSERT_TRUE(cloud->addFault("storage/", "delay", 3, 0, 2500, "PUT"));
    click(recordCtrl()->findChild<QWidget *>("stopBtn"));
    ASSERT_TRUE(qobject_cast<KxShareWidget *>(current()));
    QString progressShot;
    auto *tray = ctrl->findChild<KxSystemTrayIcon *>();
    bool toastSeen = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (KxProgressToast *t = visibleTopLevel<KxProgressToast>(); t && !toastSeen) {
            toastSeen = true;
            progressShot = kxSaveScreenshot(t, "flow_5_exit_progress");
        }
    });
    watch.start(50);
    const int code = runUntilQuit([&] { tray->contextMenu()->actions().last()->trigger(); }, 60000);
    EXPECT_EQ(code, 0) << "the program did not quit when the uploads were done";
    EXPECT_TRUE(toastSeen);
    EXPECT_TRUE(ctrl->findChild<KxSystemTrayIcon *>());
}

// Exit with the network down quits at once; the first start without a
// camera shows the prompt and quits when it goes.
TEST_F(ControllerFlow, ExitWithoutNetworkAndFirstStartWithoutCamera)
{
    KxDevCloud *cloud = kxTestCloud();
    bool down = false;
    QObject::connect(ctrl, &KxMainWidgetCtrller::sigNetworkStatusChanged, [&](const bool &c) { down = !c; });
    ASSERT_TRUE(cloud->setOffline(true));
    ASSERT_TRUE(kxWaitUntil([&] { return down; }, 20000)) << "the network loss was not noticed";
    auto *tray = ctrl->findChild<KxSystemTrayIcon *>();
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(runUntilQuit([&] { tray->contextMenu()->actions().last()->trigger(); }, 10000), 0);
    EXPECT_LT(t.elapsed(), 5000);
    cloud->setOffline(false);
    delete ctrl;
    ctrl = nullptr;

    QTemporaryDir cams;
    QFile json(cams.filePath("cameras.json"));
    ASSERT_TRUE(json.open(QIODevice::WriteOnly));
    json.write(R"({"devices": []})");
    json.close();
    qputenv("KX_VIRTUAL_CAMERA", QFile::encodeName(json.fileName()));
    {
        KxMainWidgetCtrller cameraless(&scale);
        QString promptShot;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (KxPromptToast *p = visibleTopLevel<KxPromptToast>(); p && promptShot.isEmpty())
                promptShot = kxSaveScreenshot(p, "flow_6_no_camera");
        });
        poll.start(50);
        EXPECT_EQ(runUntilQuit([&] { cameraless.startWithCameraCheck(true); }, 15000), 0);
        EXPECT_FALSE(promptShot.isEmpty());
    }
    qputenv("KX_VIRTUAL_CAMERA", "default");
}

// Recordings older than fifteen days go at start-up: only real folders
// named exactly as the program names lessons (with its " (n)" suffix) whose
// newest file is old too. Links are never followed; near-miss names and
// lessons with new files (a clock that was wrong) stay.
TEST(ControllerCleanUp, FifteenDayRule)
{
    QTemporaryDir root, outside;
    auto make = [&](const QString &folder, const QString &file, const QDate &day) {
        const time_t t = QDateTime(day, QTime(12, 0)).toSecsSinceEpoch();
        const struct timespec times[2] = {{t, 0}, {t, 0}};
        QDir().mkpath(folder);
        QFile(folder + "/" + file).open(QIODevice::WriteOnly);
        for (const QString &p : {folder + "/" + file, folder})
            EXPECT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(p).constData(), times, AT_SYMLINK_NOFOLLOW), 0);
    };
    const QDate jan1(2024, 1, 1), jan16(2024, 1, 16);
    const std::tuple<const char *, QDate, bool> cases[] = {
        {"MerioLesson 20240101 235959", jan1, true},        {"MerioLesson 20240101 101010 (2)", jan1, true},
        {"MerioLesson 20240102 000000", jan1, false},       {"MerioLesson 20231201 101010", jan16, false},
        {"Archive 20231201 101010", jan1, false},           {"MerioLesson 20231201 101010 copy", jan1, false},
        {"xMerioLesson 20231201 101010", jan1, false},      {"MerioLesson 2023120 1101010", jan1, false}};
    for (const auto &[name, day, removedOn17th] : cases)
        make(root.filePath(name), "a.mp4", day);
    make(outside.path(), "archive.mp4", jan1); // linked under an old lesson's name
    ASSERT_TRUE(QFile::link(outside.path(), root.filePath("MerioLesson 20231101 101010")));

    EXPECT_TRUE(KxMainWidgetCtrller::delFilesSeveralDaysAgo(root.path(), 15, jan16).isEmpty());
    QStringList gone = KxMainWidgetCtrller::delFilesSeveralDaysAgo(root.path(), 15, QDate(2024, 1, 17));
    gone.sort();
    EXPECT_EQ(gone, (QStringList{root.filePath(std::get<0>(cases[1])), root.filePath(std::get<0>(cases[0]))}));
    for (const auto &[name, day, removed] : cases)
        EXPECT_EQ(QFileInfo::exists(root.filePath(name)), !removed) << name;
    EXPECT_TRUE(QFileInfo::exists(outside.filePath("archive.mp4"))) << "the link was followed";
}

// A lesson that cannot be written is refused with a prompt naming the folder
// and the reason (English texts loaded): at the click (documents below a plain
// file, a file size limit), or at the countdown's end, which closes the camera.
// A quit during a countdown waits for the camera-opening task. A file broken
// during the lesson opens no share window; the prompt names it.
TEST_F(ControllerFlow, UnwritableLessonsAreRefusedOrReported)
{
    QTranslator english;
    ASSERT_TRUE(english.load(qEnvironmentVariable("KX_BIN_DIR") + "/Environment/translations/NorviMerioShare_en.qm"));
    QCoreApplication::installTranslator(&english);
    KxMerioSettingsData *settings = KxMerioSettingsData::instance();
    const QString documents = settings->documentsPath();
    QTemporaryDir place;
    QFile(place.filePath("plain")).open(QIODevice::WriteOnly);
    struct rlimit original, limit;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
    limit = original;
    ::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG instead
    auto limitFiles = [&](rlim_t bytes) {
        limit.rlim_cur = bytes ? bytes : original.rlim_cur;
        return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    };
    auto promptText = [] {
        KxPromptToast *prompt = visibleTopLevel<KxPromptToast>();
        return prompt ? prompt->findChild<QLabel *>("textLabel")->text() : QString("(no prompt)");
    };
    for (const auto &[docs, fileLimit, duringCountdown, shown] :
         {std::tuple{place.filePath("plain/docs"), rlim_t(0), false, "cannot be used: it cannot be created"},
          {documents, rlim_t(10000000), false, "cannot be used: files are limited to 10 MB"},
          {documents, rlim_t(10000000), true, "cannot be used: files are limited to 10 MB"}}) {
        settings->setDocumentsPath(docs);
        delete ctrl; // the commander takes its folders at construction
        ctrl = new KxMainWidgetCtrller(&scale);
        ASSERT_TRUE(limitFiles(duringCountdown ? 0 : fileLimit));
        ctrl->startWithCameraCheck(true);
        ASSERT_TRUE(kxWaitUntil([&] { return qobject_cast<KxVideoIconWidget *>(current()); }, 10000));
        click(current()->findChild<QLabel *>("recordiocn"));
        EXPECT_NE(duringCountdown, bool(qobject_cast<KxVideoIconWidget *>(current()))) << "countdown";
        ASSERT_TRUE(limitFiles(fileLimit));
        EXPECT_TRUE(kxWaitUntil([&] { return qobject_cast<KxVideoIconWidget *>(current()); }, 15000));
        const QString text = promptText();
        if (KxPromptToast *prompt = visibleTopLevel<KxPromptToast>())
            kxSaveScreenshot(prompt, "flow_7_lesson_refused");
        EXPECT_TRUE(text.contains("the lesson folder " + docs) && text.contains(shown)) << text.toStdString();
        kxWaitUntil([] { return false; }, 4000);
        EXPECT_EQ(visibleTopLevel<KxShareWidget>(), nullptr);
        EXPECT_EQ(recordCtrl(), nullptr);
        auto *commander = ctrl->findChild<KxMasterCommander *>(); // opened afresh (0), not still open (1)
        EXPECT_EQ(commander->preStart(), 0) << "the camera was left open";
        commander->closeCamera();
        ASSERT_TRUE(limitFiles(0));
        emit ctrl->sigToClosePrompt();
    }
    settings->setDocumentsPath(documents);
    for (int i = 0; i < QThreadPool::globalInstance()->maxThreadCount(); ++i) // busy: the camera is not opened
        QThreadPool::globalInstance()->start([] { QThread::msleep(1000); });  // before the quit below
    click(current()->findChild<QLabel *>("recordiocn"));
    delete ctrl; // quit during the countdown
    EXPECT_EQ(QThreadPool::globalInstance()->activeThreadCount(), 0) << "the camera is opened for a commander gone";
    ctrl = new KxMainWidgetCtrller(&scale);

    startRecording();
    recordUntil("00:02", 8000);
    const QString folder = recordingFolder();
    const QString mp4 = folder + "/" + QFileInfo(folder).fileName() + ".mp4";
    ASSERT_TRUE(limitFiles(rlim_t(qMax<qint64>(QFileInfo(mp4).size() + 300000, 1600000))));
    recordUntil("00:08", 12000);
    click(recordCtrl()->findChild<QWidget *>("stopBtn"));
    ASSERT_TRUE(limitFiles(0));
    ::signal(SIGXFSZ, SIG_DFL);
    EXPECT_TRUE(kxWaitUntil([&] { return promptText().contains(mp4); }, 5000)) << promptText().toStdString();
    kxWaitUntil([] { return false; }, 1000);
    EXPECT_TRUE(qobject_cast<KxVideoIconWidget *>(current()));
    EXPECT_EQ(visibleTopLevel<KxShareWidget>(), nullptr) << "a broken lesson opened the share window";
    QCoreApplication::removeTranslator(&english);
}
