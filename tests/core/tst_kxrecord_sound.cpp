// kx-record with and without the unit's microphone on the running sound
// server (PulseAudio or PipeWire): a lesson without sound is recorded, but
// warned about and reported as such, and the report matches the file.

#include "KxPulseFixture.h"
#include "KxTestMedia.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

using namespace kxtest;

TEST(RecorderSound, ALessonWithoutAMicrophoneIsWarnedAboutAndReportedSilent)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    qputenv("HOME", QFile::encodeName(root.filePath("home")));
    qputenv("TMPDIR", QFile::encodeName(root.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(root.filePath("data")));
    qputenv("KX_VERSION_INI", QFile::encodeName(root.filePath("none.ini")));
    qputenv("KX_VIRTUAL_CAMERA", "default");
    KxPulseDaemon pulse;
    ASSERT_TRUE(pulse.start()) << pulse.lastError().toStdString();

    const struct {
        const char *name;
        QStringList extraArgs;
        bool audio;
    } cases[] = {{"the unit's microphone by the shipped pattern", {}, true},
                 {"no microphone matches", {"--microphone", "No Such Unit"}, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QProcess recorder;
        recorder.start(qEnvironmentVariable("KX_BIN_DIR") + "/kx-record",
                       QStringList{"--seconds", "6", "--snapshots", "0", "--upload-wait", "0", "--json", "--out",
                                   root.filePath(c.name)} + c.extraArgs);
        ASSERT_TRUE(recorder.waitForFinished(60000));
        const QString errors = QString::fromUtf8(recorder.readAllStandardError());
        EXPECT_EQ(recorder.exitCode(), 0) << errors.toStdString();
        EXPECT_EQ(errors.contains("warning: no microphone matches"), !c.audio) << errors.toStdString();
        EXPECT_EQ(errors.contains("KiB, no sound)"), !c.audio) << errors.toStdString();
        const QJsonArray recordings =
            QJsonDocument::fromJson(recorder.readAllStandardOutput()).object()["recordings"].toArray();
        ASSERT_EQ(recordings.size(), 1);
        const QJsonObject lesson = recordings[0].toObject();
        ASSERT_TRUE(lesson["audio"].isBool());
        EXPECT_EQ(lesson["audio"].toBool(), c.audio);
        const ProbeResult file = probeFile(lesson["mp4"].toString().toStdString(), false);
        ASSERT_TRUE(file.opened) << file.error;
        const bool hasAudio = std::any_of(file.streams.begin(), file.streams.end(),
                                          [](const ProbedStream &s) { return s.mediaType == 1; });
        EXPECT_EQ(hasAudio, c.audio);
    }
}
