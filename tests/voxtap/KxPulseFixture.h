#pragma once
// A private sound server for tests, benchmarks and demos: PulseAudio, or
// PipeWire with WirePlumber and pipewire-pulse as a Debian 12 desktop runs
// them (KX_SOUND_SERVER=pipewire), in its own runtime folder. It offers a
// 440 Hz sine microphone that the server names as it names the camera
// unit's USB microphone, a second plain 1000 Hz microphone, and a null
// sink. start() points this process's libpulse clients at it
// (PULSE_SERVER); stop() ends it. The servers also die with the process
// that started them.
//
// Threads: use from one thread. Every wait is bounded.

#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <map>
#include <memory>

enum class KxSoundServer { PulseAudio, PipeWire };

class KxPulseDaemon {
public:
    /// Source and sink names of the standard set-up.
    static const char *const kMicSource;    ///< "Microphone (VANTRI Multimedia Unit HD)", 440 Hz
    static const char *const kPlainSource;  ///< "Microphone (Generic USB Microphone)", 1000 Hz
    static const char *const kNullSink;     ///< "Speakers (KX Test Speakers)"
    static const char *const kMicProduct;   ///< "VANTRI Multimedia Unit HD"
    static constexpr int kMicFrequency = 440;
    static constexpr int kPlainFrequency = 1000;

    struct Options {
        int sampleRate = 48000;  ///< of the sine sources and the null sink
        int channels = 2;        ///< of the microphones (remapped from a mono sine)
        KxSoundServer server = serverFromEnvironment();
    };

    /// KX_SOUND_SERVER: "pipewire", else PulseAudio.
    static KxSoundServer serverFromEnvironment();
    static const char *serverName(KxSoundServer server);
    KxSoundServer server() const { return m_kind; }

    /// Module argument value ('k="v" ...', the quoting both servers read)
    /// of these properties.
    static QString properties(const QList<QPair<QString, QString>> &props);
    /// The properties the server gives a USB unit's capture source. unit is
    /// the unit's own product string (its ALSA card name), databaseName the
    /// USB ID database's name for it, if listed there. PulseAudio copies
    /// the card's udev names onto the source, the database name winning as
    /// product name; PipeWire gives the node's own properties only, with no
    /// product name. Both append the profile ("Analog Stereo", "Mono") to
    /// the description.
    static QList<QPair<QString, QString>> usbSourceProperties(KxSoundServer server, const QString &unit,
                                                              int channels, const QString &databaseName = {});

    KxPulseDaemon() = default;
    ~KxPulseDaemon();
    KxPulseDaemon(const KxPulseDaemon &) = delete;
    KxPulseDaemon &operator=(const KxPulseDaemon &) = delete;

    /// Starts the daemon and waits (at most timeoutMs) until it answers.
    /// Sets PULSE_SERVER for this process. False with lastError() on failure.
    bool start(const Options &options, int timeoutMs = 15000);
    bool start() { return start(Options()); }
    /// Ends the daemon (bounded) and restores PULSE_SERVER.
    void stop();
    bool isRunning() const;

    /// "unix:<socket>"
    QString serverAddress() const { return m_server; }
    QString lastError() const { return m_error; }
    QString logText() const;

    /// Runs pactl against the daemon; false on failure or after timeoutMs.
    bool pactl(const QStringList &args, QString *output = nullptr, int timeoutMs = 5000);
    /// Loads a module; its index, or -1.
    int loadModule(const QString &name, const QString &arguments);
    bool unloadModule(int index);
    /// Adds a USB microphone of this unit name playing a sine (see the
    /// set-up in the .cpp). Its module index (unload it to "unplug" the
    /// microphone), or -1.
    int addMicrophone(const QString &sourceName, const QString &productName, int frequency);
    /// Plays a sine into a sink (module-sine on PulseAudio, a pacat client
    /// on PipeWire, whose pulse layer has no module-sine). An id for
    /// removeTone, or -1.
    int addTone(const QString &sink, int frequency);
    bool removeTone(int id);
    /// The same with the source's properties given.
    int addMicrophone(const QString &sourceName, const QList<QPair<QString, QString>> &props, int frequency);
    /// Plugs an added microphone in again after its module was unloaded;
    /// its new module index, or -1.
    int replugMicrophone(const QString &sourceName);
    /// Changes an added microphone's tone; from the next sound read on, no
    /// sample of the old tone is left in the server.
    bool retuneMicrophone(const QString &sourceName, int frequency);

private:
    bool launch(const QString &program, const QStringList &args, const QString &socket, int timeoutMs);
    bool startPipeWire(const QStringList &setup, int timeoutMs);
    QString toneFile(int frequency, int channels);
    int feed(const QString &fifo, int frequency, int channels);
    int startHelper(const QString &script, const QStringList &args);

    KxSoundServer m_kind = KxSoundServer::PulseAudio;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
    QString m_server;
    QString m_error;
    QByteArray m_savedServer;
    bool m_hadServer = false;
    struct Microphone {
        QList<QPair<QString, QString>> props;
        int frequency = 0;
        int tone = -1;
    };
    std::map<QString, Microphone> m_mics;
    std::map<int, std::unique_ptr<QProcess>> m_tones;
    int m_nextTone = 1;
    int m_rate = 48000;
    int m_channels = 2;
};

#include <gtest/gtest.h>

#include <string>

/// A gtest suite whose tests share one private daemon, started before the
/// suite's first test and stopped after its last. Each test fails at once,
/// with the daemon's error, when it could not be started.
class KxPulseSuite : public ::testing::Test {
public:
    static void SetUpTestSuite();
    static void TearDownTestSuite();

protected:
    void SetUp() override { ASSERT_TRUE(s_started) << s_error; }

    static KxPulseDaemon *s_daemon;
    static bool s_started;
    static std::string s_error;
};
