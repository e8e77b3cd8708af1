#pragma once
// The program's built-in recording settings: one process-wide instance,
// created on first use and destroyed at exit. Nothing here is read from a
// file. The getters are safe to call from any thread once the instance exists.

#include "KxCommanderConfig.h"

#include <QObject>
#include <QString>

class KxMerioSettingsData : public QObject {
    Q_OBJECT
public:
    /// The process-wide instance (thread-safe function-local static).
    static KxMerioSettingsData *instance();
    ~KxMerioSettingsData() override;

    int recordLimitMinutes() const { return 3; }
    /// Length of an HLS segment in seconds.
    int segmentLength() const { return 5; }
    /// Root of the recording folders: home + "/Documents/NorviClass/NorviMerioShare".
    QString documentsPath() const { return m_documentsPath; }
    /// Per-user work folder for segments and playlists: the system temporary
    /// folder + "/NorviMerioShare-<uid>". Its owner (the commander) checks it
    /// before use, since the temporary folder is shared between users.
    QString tmpPath() const { return m_tmpPath; }
    /// Regular expression that finds the camera unit's microphone.
    QString audioDevicePattern() const { return m_audioPattern; }
    /// Regular expression that finds the camera unit's camera.
    QString cameraNamePattern() const { return m_cameraPattern; }

    /// Overrides for tools that record the way the program does (the
    /// program itself uses the built-in values). Call before the commander
    /// is built, on the main thread.
    void setDocumentsPath(const QString &path) { m_documentsPath = path; }
    void setDevicePatterns(const QString &camera, const QString &audio)
    {
        m_cameraPattern = camera;
        m_audioPattern = audio;
    }

    int videoCodecId() const { return 27; }    ///< FFmpeg's H.264
    int videoBitRate() const { return 2000; }  ///< kbit/s
    int frameRate() const { return 15; }
    int timeBaseNum() const { return 1; }      ///< the video time base is this over the frame rate
    int height() const { return 720; }
    int width() const { return 1280; }
    int gopSize() const { return 6; }
    int pixelFormat() const { return 0; }      ///< FFmpeg's planar YUV 4:2:0
    int audioCodecId() const { return 86018; } ///< FFmpeg's AAC
    int audioBitRate() const { return 64000; } ///< bit/s
    int sampleRate() const { return 44100; }
    int channels() const { return 2; }

    /// The values above as the master commander takes them.
    KxCommanderConfig commanderConfig() const;

private:
    KxMerioSettingsData();
    static QString devicePattern();
    static QString microphonePattern();

    QString m_documentsPath;
    QString m_tmpPath;
    QString m_cameraPattern;
    QString m_audioPattern;
};
