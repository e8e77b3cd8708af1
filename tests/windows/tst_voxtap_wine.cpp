// The Windows build of libVoxtap (make windows) under Wine: Wine's audio
// driver talks to a private PulseAudio daemon whose source carries the
// description Windows gives the unit's microphone, which is the only name
// Wine shows for an endpoint. Runs the Windows test programs, records with
// voxtap-record.exe and checks the file with ffmpeg, and removes the
// microphone during a recording.

#include "KxAacProbe.h"
#include "KxPulseFixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int kToneHz = 660; // unlike the Linux fixture's microphones
const char *const kUnitDescription = "Microphone (VANTRI Multimedia Unit HD)";

struct WineRun {
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;
};

QString describe(const WineRun &r)
{
    return QStringLiteral("exit %1%2\n--- stdout\n%3\n--- stderr\n%4")
        .arg(r.exitCode)
        .arg(r.finished ? QString() : QStringLiteral(" (did not finish in time)"), r.out.right(4000),
             r.err.right(4000));
}

struct Decoded {
    bool ok = false;
    QString error;
    int rate = 0;
    int channels = 0;
    std::vector<float> left, right;
};

class WineSuite : public ::testing::Test {
public:
    static void SetUpTestSuite()
    {
        s_bin = QString::fromLocal8Bit(qgetenv("KX_WIN_BIN_DIR"));
        if (s_bin.isEmpty() || !QFile::exists(s_bin + QStringLiteral("/voxtap-record.exe"))) {
            std::fprintf(stderr, "tst_voxtap_wine: no Windows build in \"%s\" (make windows); skipped\n",
                         qPrintable(s_bin));
            std::exit(77);
        }
        s_error.clear();
        s_daemon = new KxPulseDaemon;
        s_dir = new QTemporaryDir;
        if (!s_daemon->start()) {
            s_error = "PulseAudio: " + s_daemon->lastError().toStdString();
            return;
        }
        // The tone chain of a fixture microphone, with the unit's name
        // given to a source of its own.
        const int plain = s_daemon->addMicrophone(QStringLiteral("kx_wine_tone"), QStringLiteral("KX Wine Tone"), kToneHz);
        // A mono microphone: the library converts its sound to the stereo
        // the encoder is asked for.
        const int mono = s_daemon->loadModule(
            QStringLiteral("module-remap-source"),
            QStringLiteral("source_name=kx_wine_mono master=kx_wine_tone_tone.monitor channels=1 channel_map=mono "
                           "source_properties=\"device.description='KX Mono Microphone'\""));
        if (plain < 0 || mono < 0 || addUnit() < 0) {
            s_error = "could not add the unit's microphone: " + s_daemon->logText().right(2000).toStdString();
            return;
        }
        // The prefix is made once for the suite (wineboot).
        const WineRun boot = wine({QStringLiteral("wineboot"), QStringLiteral("-i")}, 240000);
        if (!boot.finished || !QFile::exists(prefix() + QStringLiteral("/drive_c/windows")))
            s_error = "wineboot: " + describe(boot).toStdString();
    }

    static void TearDownTestSuite()
    {
        if (s_dir && QFile::exists(prefix())) {
            QProcess server;
            server.setProcessEnvironment(wineEnvironment());
            server.start(QStringLiteral("wineserver"), {QStringLiteral("-k")});
            if (!server.waitForFinished(20000))
                server.kill();
            server.waitForFinished(5000);
        }
        delete s_daemon;
        s_daemon = nullptr;
        delete s_dir;
        s_dir = nullptr;
    }

protected:
    void SetUp() override { ASSERT_TRUE(s_error.empty()) << s_error; }

    static QString prefix() { return s_dir->path() + QStringLiteral("/prefix"); }

    static int addUnit()
    {
        s_unitModule = s_daemon->loadModule(
            QStringLiteral("module-remap-source"),
            QStringLiteral("source_name=kx_wine_unit master=kx_wine_tone_tone.monitor "
                           "source_properties=\"device.description='%1' device.product.name='VANTRI Multimedia Unit HD'\"")
                .arg(QString::fromLatin1(kUnitDescription)));
        return s_unitModule;
    }

    static QProcessEnvironment wineEnvironment()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment(); // PULSE_SERVER of the daemon
        env.insert(QStringLiteral("WINEPREFIX"), prefix());
        env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
        // No Mono or Gecko installer, no window.
        env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        return env;
    }

    static void startWine(QProcess *p, const QStringList &args)
    {
        p->setProcessEnvironment(wineEnvironment());
        p->setWorkingDirectory(s_dir->path());
        p->start(QStringLiteral("wine"), args);
    }

    static WineRun wine(const QStringList &args, int timeoutMs)
    {
        QProcess p;
        startWine(&p, args);
        WineRun r;
        r.finished = p.waitForFinished(timeoutMs);
        if (!r.finished) {
            p.kill();
            p.waitForFinished(5000);
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }

    /// Decodes with ffmpeg; the stream's codec, rate and layout come from
    /// its report of the input.
    static Decoded decode(const QString &file)
    {
        Decoded d;
        QProcess ff;
        ff.start(QStringLiteral("ffmpeg"), {QStringLiteral("-hide_banner"), QStringLiteral("-i"), file,
                                           QStringLiteral("-f"), QStringLiteral("f32le"), QStringLiteral("-")});
        QByteArray pcm;
        while (ff.state() != QProcess::NotRunning && ff.waitForReadyRead(30000))
            pcm += ff.readAllStandardOutput();
        ff.waitForFinished(30000);
        pcm += ff.readAllStandardOutput();
        const QString report = QString::fromLocal8Bit(ff.readAllStandardError());
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("Audio: aac \\(LC\\)[^,]*, (\\d+) Hz, (\\w+)")).match(report);
        if (ff.exitCode() != 0 || !m.hasMatch()) {
            d.error = QStringLiteral("ffmpeg: ") + report;
            return d;
        }
        d.rate = m.captured(1).toInt();
        d.channels = m.captured(2) == QStringLiteral("stereo") ? 2 : m.captured(2) == QStringLiteral("mono") ? 1 : 0;
        const auto *x = reinterpret_cast<const float *>(pcm.constData());
        const size_t frames = static_cast<size_t>(pcm.size()) / (2 * sizeof(float));
        d.left.resize(frames);
        d.right.resize(frames);
        for (size_t i = 0; i < frames; ++i) {
            d.left[i] = x[2 * i];
            d.right[i] = x[2 * i + 1];
        }
        d.ok = true;
        return d;
    }

    /// The longest run, in samples, in which neither channel reaches a
    /// tenth of the tone's peak, leaving out the encoder's start-up and the
    /// end of a stopped capture.
    static size_t longestGap(const Decoded &d)
    {
        const size_t skip = 4096, end = static_cast<size_t>(KxAacProbe::kEndSamples);
        if (d.left.size() <= skip + end)
            return d.left.size();
        float peak = 0;
        for (size_t i = skip; i < d.left.size() - end; ++i)
            peak = std::max(peak, std::fabs(d.left[i]));
        size_t run = 0, longest = 0;
        for (size_t i = skip; i < d.left.size() - end; ++i) {
            const bool quiet = std::fabs(d.left[i]) < peak * 0.1f && std::fabs(d.right[i]) < peak * 0.1f;
            // A sine passes near zero twice a period; only a run longer
            // than those crossings is a gap.
            run = quiet ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        return longest;
    }

    static KxPulseDaemon *s_daemon;
    static QTemporaryDir *s_dir;
    static QString s_bin;
    static std::string s_error;
    static int s_unitModule;
};

KxPulseDaemon *WineSuite::s_daemon = nullptr;
QTemporaryDir *WineSuite::s_dir = nullptr;
QString WineSuite::s_bin;
std::string WineSuite::s_error;
int WineSuite::s_unitModule = -1;

TEST_F(WineSuite, WindowsProgramsPass)
{
    for (const char *program : {"tst_kxsync_win.exe", "tst_voxtap_win.exe"}) {
        const WineRun r = wine({s_bin + '/' + QLatin1String(program)}, 180000);
        EXPECT_TRUE(r.finished && r.exitCode == 0) << program << ": " << qPrintable(describe(r));
    }
}

// The unit's microphone as the program finds it, and a mono one named on
// the command line: both come out as the tone, at 44.1 kHz in stereo.
TEST_F(WineSuite, RecordsTheToneAsStereoAacAt44100)
{
    struct Case {
        QStringList args;
        double seconds;
        QString name;
    };
    for (const Case &c : {Case{{}, 10, QLatin1String(kUnitDescription)},
                          Case{{QStringLiteral("--device"), QStringLiteral("Mono")}, 4, QStringLiteral("KX Mono Microphone")}}) {
        SCOPED_TRACE(qPrintable(c.name));
        const WineRun r = wine(QStringList{s_bin + QStringLiteral("/voxtap-record.exe"), QStringLiteral("--seconds"),
                                           QString::number(c.seconds), QStringLiteral("--out"), QStringLiteral("tone.aac")}
                                   + c.args,
                               120000);
        ASSERT_TRUE(r.finished && r.exitCode == 0) << qPrintable(describe(r));
        EXPECT_TRUE(r.out.contains(c.name)) << qPrintable(r.out);

        const Decoded d = decode(s_dir->path() + QStringLiteral("/tone.aac"));
        ASSERT_TRUE(d.ok) << qPrintable(d.error);
        EXPECT_EQ(d.rate, 44100);
        EXPECT_EQ(d.channels, 2);
        EXPECT_NEAR(static_cast<double>(d.left.size()) / 44100, c.seconds, 0.3) << qPrintable(describe(r));
        const int64_t skip = 4096;
        const int64_t n = static_cast<int64_t>(d.left.size()) - skip - KxAacProbe::kEndSamples;
        ASSERT_GT(n, 44100);
        EXPECT_NEAR(KxAacProbe::measureFrequency(d.left.data() + skip, n, 44100), kToneHz, kToneHz * 0.01);
        EXPECT_NEAR(KxAacProbe::measureFrequency(d.right.data() + skip, n, 44100), kToneHz, kToneHz * 0.01);
        EXPECT_LE(longestGap(d), 44100u * 30 / 1000) << "a gap over 30 ms";
    }
}

TEST_F(WineSuite, ReportsTheMicrophoneRemovedDuringCaptureWithoutHanging)
{
    QProcess p;
    startWine(&p, {s_bin + QStringLiteral("/voxtap-record.exe"), QStringLiteral("--seconds"), QStringLiteral("60"),
                   QStringLiteral("--out"), QStringLiteral("removed.aac")});
    QString out;
    for (int i = 0; i < 120 && !out.contains(QStringLiteral("recording")) && p.state() != QProcess::NotRunning; ++i) {
        p.waitForReadyRead(500);
        out += QString::fromLocal8Bit(p.readAllStandardOutput());
    }
    ASSERT_TRUE(out.contains(QStringLiteral("recording"))) << qPrintable(out + p.readAllStandardError());
    QThread::msleep(2000);
    ASSERT_TRUE(s_daemon->unloadModule(s_unitModule));
    s_unitModule = -1;
    // Far less than the 60 s asked for: the removal ends the recording.
    const bool finished = p.waitForFinished(20000);
    if (!finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    EXPECT_TRUE(finished) << "voxtap-record hung after the removal";
    EXPECT_EQ(p.exitCode(), 4) << qPrintable(err);
    EXPECT_TRUE(err.contains(QStringLiteral("went away"))) << qPrintable(err);
    const Decoded d = decode(s_dir->path() + QStringLiteral("/removed.aac"));
    ASSERT_TRUE(d.ok) << "what was recorded before stays readable: " << qPrintable(d.error);
    EXPECT_GT(d.left.size(), 44100u) << "the sound before the removal is kept";
    EXPECT_NEAR(KxAacProbe::measureFrequency(d.left.data() + 4096, static_cast<int64_t>(d.left.size()) - 8192, 44100),
                kToneHz, kToneHz * 0.01);
    ASSERT_GE(addUnit(), 0) << "the microphone comes back for later tests";
}

} // namespace
