#pragma once
// A private PulseAudio daemon for tests, benchmarks and demos: its own
// runtime folder and socket, a 440 Hz sine microphone whose friendly name
// matches the camera unit's device pattern, a second plain 1000 Hz
// microphone, and a null sink. start() points this process's libpulse
// clients at it (PULSE_SERVER); stop() ends it. The daemon also dies with
// the process that started it.
//
// Threads: use from one thread. Every wait is bounded.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

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
    };

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
    /// Adds a microphone playing a sine (see the set-up in the .cpp). Its module index
    /// (unload it to "unplug" the microphone), or -1.
    int addMicrophone(const QString &sourceName, const QString &productName, int frequency);

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
    QString m_server;
    QString m_error;
    QByteArray m_savedServer;
    bool m_hadServer = false;
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
