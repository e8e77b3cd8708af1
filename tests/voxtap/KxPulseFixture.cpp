#include "KxPulseFixture.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include <cmath>

#include <fcntl.h>
#include <unistd.h>

const char *const KxPulseDaemon::kMicSource = "kx_vantri_mic";
const char *const KxPulseDaemon::kPlainSource = "kx_plain_mic";
const char *const KxPulseDaemon::kNullSink = "kx_null_sink";
const char *const KxPulseDaemon::kMicProduct = "VANTRI Multimedia Unit HD";

namespace {

// module-sine-source hands out its sound in two-second bursts whatever
// latency a recorder asks for, unlike a microphone. A sine played into a
// null sink is clocked like a device and follows the requested latency of
// the sink's monitor; a loopback into a drain sink keeps that latency low
// even while no test records, and a remap of the monitor gives the
// microphone its names and channel count. The sine itself comes from
// addTone (pipewire-pulse has no module-sine).
QStringList toneSinkCommands(KxSoundServer server, const QString &name, int rate, int frequency)
{
    const QString sink = name + QStringLiteral("_tone");
    QStringList commands{
        QStringLiteral("load-module module-null-sink sink_name=%1 rate=%2 channels=2 format=float32le "
                       "sink_properties=%3")
            .arg(sink).arg(rate)
            .arg(KxPulseDaemon::properties({{"device.description", QStringLiteral("Tone %1").arg(frequency)},
                                            {"device.product.name", "KX Tone Generator"}}))};
    if (server == KxSoundServer::PulseAudio) {
        // The sink rendered its first block with its default latency of
        // two seconds; a restart begins at the latency now asked for.
        commands << QStringLiteral("load-module module-loopback source=%1.monitor sink=kx_drain latency_msec=10 "
                                   "source_dont_move=true sink_dont_move=true").arg(sink)
                 << QStringLiteral("suspend-sink %1 1").arg(sink) << QStringLiteral("suspend-sink %1 0").arg(sink);
    }
    return commands;
}

QString remapArgs(const QString &name, int channels, const QList<QPair<QString, QString>> &props)
{
    QString args = QStringLiteral("source_name=%1 master=%1_tone.monitor").arg(name);
    if (channels == 1)
        args += QStringLiteral(" channels=1 channel_map=mono");
    return args + QStringLiteral(" source_properties=") + KxPulseDaemon::properties(props);
}

QString nullSink(const QString &name, int rate, const QString &description, const QString &product)
{
    return QStringLiteral("load-module module-null-sink sink_name=%1 rate=%2 channels=2 sink_properties=%3")
        .arg(name).arg(rate)
        .arg(KxPulseDaemon::properties({{"device.description", description}, {"device.product.name", product}}));
}

// pactl takes a module's arguments as one argument.
QStringList pactlArgs(const QString &command)
{
    QStringList parts = command.split(' ');
    if (parts.at(0) != QStringLiteral("load-module") || parts.size() < 3)
        return parts;
    return {parts.at(0), parts.at(1), parts.mid(2).join(' ')};
}

// Runs under setpriv --pdeathsig KILL: the servers die with this shell, and
// it with the test. WirePlumber needs a session bus (without it no stream
// is ever linked), so the shell runs a private one.
const char *const kPipeWireScript = R"(#!/bin/sh
dir=$1
pids=
trap 'kill $pids 2>/dev/null; wait; exit 0' TERM INT
waitfor() { i=0; while [ ! -S "$1" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done; }
setpriv --pdeathsig KILL -- dbus-daemon --session --nofork --nopidfile --address="unix:path=$dir/bus" &
pids="$pids $!"
waitfor "$dir/bus"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
setpriv --pdeathsig KILL -- pipewire &
pids="$pids $!"
waitfor "$dir/pipewire-0"
setpriv --pdeathsig KILL -- wireplumber &
pids="$pids $!"
setpriv --pdeathsig KILL -- pipewire-pulse &
pids="$pids $!"
wait
)";

} // namespace

KxSoundServer KxPulseDaemon::serverFromEnvironment()
{
    return qEnvironmentVariable("KX_SOUND_SERVER") == QStringLiteral("pipewire") ? KxSoundServer::PipeWire
                                                                                  : KxSoundServer::PulseAudio;
}

const char *KxPulseDaemon::serverName(KxSoundServer server)
{
    return server == KxSoundServer::PipeWire ? "pipewire" : "pulseaudio";
}

QString KxPulseDaemon::properties(const QList<QPair<QString, QString>> &props)
{
    // pipewire-pulse ends a value at its first space unless it is in
    // double quotes; PulseAudio reads either quote.
    QStringList parts;
    for (const auto &p : props)
        parts << QStringLiteral("%1=\"%2\"").arg(p.first, p.second);
    return QLatin1Char('\'') + parts.join(' ') + QLatin1Char('\'');
}

QList<QPair<QString, QString>> KxPulseDaemon::usbSourceProperties(KxSoundServer server, const QString &unit,
                                                                   int channels, const QString &databaseName)
{
    const QString profile = channels == 1 ? QStringLiteral("Mono") : QStringLiteral("Analog Stereo");
    const QList<QPair<QString, QString>> alsa{
        {"device.api", "alsa"},
        {"device.class", "sound"},
        {"alsa.card_name", unit},
        {"alsa.long_card_name", QStringLiteral("VANTRI %1 at usb-0000:00:14.0-2, high speed").arg(unit)},
        {"alsa.driver_name", "snd_usb_audio"},
        {"device.profile.description", profile}};
    QList<QPair<QString, QString>> props;
    if (server == KxSoundServer::PipeWire) {
        // A node: its nick and description from the card name; the udev
        // names stay on the device object.
        props << qMakePair(QStringLiteral("device.description"), unit + ' ' + profile)
              << qMakePair(QStringLiteral("node.nick"), unit) << alsa;
        return props;
    }
    const QString product = databaseName.isEmpty() ? unit : databaseName;
    props << qMakePair(QStringLiteral("device.description"), product + ' ' + profile)
          << qMakePair(QStringLiteral("device.product.name"), product)
          << qMakePair(QStringLiteral("device.vendor.name"), QStringLiteral("VANTRI"))
          << qMakePair(QStringLiteral("device.bus"), QStringLiteral("usb"))
          << qMakePair(QStringLiteral("device.vendor.id"), QStringLiteral("1d6c"))
          << qMakePair(QStringLiteral("device.product.id"), QStringLiteral("0103"))
          << qMakePair(QStringLiteral("device.bus_path"), QStringLiteral("pci-0000:00:14.0-usb-0:2:1.2"))
          << alsa;
    return props;
}

KxPulseDaemon::~KxPulseDaemon()
{
    stop();
}

bool KxPulseDaemon::start(const Options &options, int timeoutMs)
{
    stop();
    m_rate = options.sampleRate;
    m_channels = options.channels;
    m_kind = options.server;
    // Short path: the socket path must fit a sockaddr_un.
    m_dir = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/kxpa-XXXXXX"));
    if (!m_dir->isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    QStringList lines;
    lines << nullSink(QStringLiteral("kx_drain"), m_rate, QStringLiteral("Drain"), QStringLiteral("KX Drain"))
          << nullSink(kNullSink, m_rate, QStringLiteral("Null Output"), QStringLiteral("KX Test Speakers"));
    const QStringList defaults{QStringLiteral("set-default-source %1").arg(kMicSource),
                               QStringLiteral("set-default-sink %1").arg(kNullSink)};
    const auto micProps = usbSourceProperties(m_kind, kMicProduct, m_channels);
    const auto plainProps = usbSourceProperties(m_kind, QStringLiteral("Generic USB Microphone"), m_channels);
    if (m_kind == KxSoundServer::PipeWire) {
        if (!startPipeWire(lines, timeoutMs))
            return false;
        if (addMicrophone(kMicSource, micProps, kMicFrequency) < 0
            || addMicrophone(kPlainSource, plainProps, kPlainFrequency) < 0 || !pactl(defaults.at(0).split(' '))
            || !pactl(defaults.at(1).split(' '))) {
            m_error = QStringLiteral("the microphones could not be set up: ") + logText();
            stop();
            return false;
        }
        return true;
    }
    lines << toneSinkCommands(m_kind, kMicSource, m_rate, kMicFrequency)
          << QStringLiteral("load-module module-sine sink=%1_tone frequency=%2").arg(kMicSource).arg(kMicFrequency)
          << QStringLiteral("load-module module-remap-source %1").arg(remapArgs(kMicSource, m_channels, micProps));
    lines << toneSinkCommands(m_kind, kPlainSource, m_rate, kPlainFrequency)
          << QStringLiteral("load-module module-sine sink=%1_tone frequency=%2").arg(kPlainSource).arg(kPlainFrequency)
          << QStringLiteral("load-module module-remap-source %1").arg(remapArgs(kPlainSource, m_channels, plainProps));
    lines << defaults;

    const QString program = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
    if (program.isEmpty()) {
        m_error = QStringLiteral("pulseaudio is not installed");
        return false;
    }
    const QString base = m_dir->path();
    const QString socket = base + QStringLiteral("/native");
    const QString script = base + QStringLiteral("/daemon.pa");
    QFile f(script);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Text)) {
        m_error = QStringLiteral("cannot write ") + script;
        return false;
    }
    lines.prepend(QStringLiteral("load-module module-native-protocol-unix socket=%1 auth-anonymous=1").arg(socket));
    f.write(lines.join('\n').toUtf8() + '\n');
    f.close();
    const QStringList args{QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
                           QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--disallow-exit"),
                           QStringLiteral("--use-pid-file=no"), QStringLiteral("--realtime=no"),
                           QStringLiteral("--high-priority=no"), QStringLiteral("--log-target=stderr"),
                           QStringLiteral("-F"), script};
    return launch(program, args, socket, timeoutMs);
}

bool KxPulseDaemon::startPipeWire(const QStringList &setup, int timeoutMs)
{
    for (const char *tool : {"pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon", "setpriv"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
            m_error = QStringLiteral("%1 is not installed").arg(QString::fromLatin1(tool));
            return false;
        }
    }
    const QString base = m_dir->path();
    const QString script = base + QStringLiteral("/servers.sh");
    QFile f(script);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Text)) {
        m_error = QStringLiteral("cannot write ") + script;
        return false;
    }
    f.write(kPipeWireScript);
    f.close();
    QDeadlineTimer deadline(timeoutMs);
    if (!launch(QStringLiteral("/bin/sh"), {script, base}, base + QStringLiteral("/pulse/native"), timeoutMs))
        return false;
    // WirePlumber links streams; until it is there, a recorder would wait
    // for sound that never comes.
    bool linked = false;
    while (!deadline.hasExpired()) {
        QString clients;
        if (pactl({QStringLiteral("list"), QStringLiteral("clients"), QStringLiteral("short")}, &clients, 2000)
            && clients.contains(QStringLiteral("wireplumber"))) {
            linked = true;
            break;
        }
        QThread::msleep(50);
    }
    if (!linked) {
        m_error = QStringLiteral("wireplumber did not come up: ") + logText();
        stop();
        return false;
    }
    for (const QString &line : setup) {
        if (!pactl(pactlArgs(line))) {
            m_error = QStringLiteral("set-up failed: ") + line;
            stop();
            return false;
        }
    }
    return true;
}

bool KxPulseDaemon::launch(const QString &program, const QStringList &programArgs, const QString &socket,
                           int timeoutMs)
{
    const QString base = m_dir->path();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), base);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), base);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), base + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), base + QStringLiteral("/state"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), base + QStringLiteral("/data"));
    env.insert(QStringLiteral("PULSE_RUNTIME_PATH"), base + QStringLiteral("/runtime"));
    env.insert(QStringLiteral("PULSE_STATE_PATH"), base + QStringLiteral("/state"));
    env.remove(QStringLiteral("PULSE_SERVER"));
    env.remove(QStringLiteral("PIPEWIRE_REMOTE"));
    env.remove(QStringLiteral("PIPEWIRE_RUNTIME_DIR"));
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.remove(QStringLiteral("DISPLAY"));
    if (m_kind == KxSoundServer::PipeWire)
        env.remove(QStringLiteral("PULSE_RUNTIME_PATH")); // pipewire-pulse's socket: XDG_RUNTIME_DIR/pulse
    m_process = std::make_unique<QProcess>();
    m_process->setProcessEnvironment(env);
    m_process->setStandardOutputFile(base + QStringLiteral("/daemon.log"));
    m_process->setStandardErrorFile(base + QStringLiteral("/daemon.log"), QIODevice::Append);
    // The server must not outlive a crashed test.
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (!setpriv.isEmpty()) {
        QStringList args{QStringLiteral("--pdeathsig"), QStringLiteral("KILL"), QStringLiteral("--"), program};
        m_process->start(setpriv, args + programArgs);
    } else {
        m_process->start(program, programArgs);
    }
    if (!m_process->waitForStarted(5000)) {
        m_error = QStringLiteral("%1 did not start: %2").arg(program, m_process->errorString());
        m_process.reset();
        return false;
    }
    m_server = QStringLiteral("unix:") + socket;
    QDeadlineTimer deadline(timeoutMs);
    bool ready = false;
    while (!deadline.hasExpired()) {
        if (m_process->state() != QProcess::Running)
            break;
        if (QFile::exists(socket) && pactl({QStringLiteral("info")}, nullptr, 2000)) {
            ready = true;
            break;
        }
        QThread::msleep(50);
    }
    if (!ready) {
        m_error = QStringLiteral("%1 did not become ready: %2").arg(serverName(m_kind), logText());
        stop();
        return false;
    }
    m_hadServer = qEnvironmentVariableIsSet("PULSE_SERVER");
    m_savedServer = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", m_server.toUtf8());
    return true;
}

void KxPulseDaemon::stop()
{
    m_mics.clear();
    while (!m_tones.empty())
        removeTone(m_tones.begin()->first);
    if (m_process) {
        if (m_process->state() != QProcess::NotRunning) {
            m_process->terminate();
            if (!m_process->waitForFinished(3000)) {
                m_process->kill();
                m_process->waitForFinished(3000);
            }
        }
        m_process.reset();
        if (m_hadServer)
            qputenv("PULSE_SERVER", m_savedServer);
        else
            qunsetenv("PULSE_SERVER");
    }
    m_server.clear();
    m_dir.reset();
}

bool KxPulseDaemon::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

QString KxPulseDaemon::logText() const
{
    if (!m_dir)
        return QString();
    QFile f(m_dir->path() + QStringLiteral("/daemon.log"));
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

bool KxPulseDaemon::pactl(const QStringList &args, QString *output, int timeoutMs)
{
    if (m_server.isEmpty())
        return false;
    QProcess p;
    QStringList all{QStringLiteral("--server=") + m_server};
    all += args;
    p.start(QStringLiteral("pactl"), all);
    if (!p.waitForStarted(3000))
        return false;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(1000);
        return false;
    }
    if (output)
        *output = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

int KxPulseDaemon::loadModule(const QString &name, const QString &arguments)
{
    QString out;
    // pactl takes the module arguments as one argument.
    if (!pactl({QStringLiteral("load-module"), name, arguments}, &out))
        return -1;
    bool ok = false;
    const int index = out.toInt(&ok);
    return ok ? index : -1;
}

bool KxPulseDaemon::unloadModule(int index)
{
    return pactl({QStringLiteral("unload-module"), QString::number(index)});
}

int KxPulseDaemon::addMicrophone(const QString &sourceName, const QString &productName, int frequency)
{
    return addMicrophone(sourceName, usbSourceProperties(m_kind, productName, m_channels), frequency);
}

int KxPulseDaemon::addMicrophone(const QString &sourceName, const QList<QPair<QString, QString>> &props,
                                 int frequency)
{
    if (m_kind == KxSoundServer::PipeWire) {
        // A source node of its own, read at the graph's pace like an ALSA
        // source: a remap filter's own stream pair glitches on a loaded
        // machine, which a microphone does not.
        if (!m_dir)
            return -1;
        m_mics[sourceName] = Microphone{props, frequency, -1};
        return replugMicrophone(sourceName);
    }
    for (const QString &command : toneSinkCommands(m_kind, sourceName, m_rate, frequency)) {
        const QStringList parts = pactlArgs(command);
        if (parts.at(0) == QStringLiteral("suspend-sink")) {
            if (!pactl(parts))
                return -1;
        } else if (loadModule(parts.at(1), parts.at(2)) < 0) {
            return -1;
        }
    }
    const int tone = addTone(sourceName + QStringLiteral("_tone"), frequency);
    if (tone < 0)
        return -1;
    m_mics[sourceName] = Microphone{props, frequency, tone};
    return replugMicrophone(sourceName);
}

int KxPulseDaemon::replugMicrophone(const QString &sourceName)
{
    const auto mic = m_mics.find(sourceName);
    if (mic == m_mics.end() || !m_dir)
        return -1;
    if (m_kind == KxSoundServer::PulseAudio)
        return loadModule(QStringLiteral("module-remap-source"), remapArgs(sourceName, m_channels, mic->second.props));
    // A source node of its own, read at the graph's pace like an ALSA
    // source: a remap filter's pair of streams glitches on a loaded
    // machine, and keeps old sound across recordings, which a microphone
    // does not.
    const QString fifo = m_dir->path() + QStringLiteral("/%1.fifo").arg(sourceName);
    const int module = loadModule(QStringLiteral("module-pipe-source"),
                                  QStringLiteral("source_name=%1 file=%2 format=float32le rate=%3 channels=%4 "
                                                 "source_properties=%5")
                                      .arg(sourceName, fifo).arg(m_rate).arg(m_channels)
                                      .arg(properties(mic->second.props)));
    if (module < 0)
        return -1;
    if (mic->second.tone >= 0)
        removeTone(mic->second.tone);
    mic->second.tone = feed(fifo, mic->second.frequency, m_channels);
    return mic->second.tone < 0 ? -1 : module;
}

bool KxPulseDaemon::retuneMicrophone(const QString &sourceName, int frequency)
{
    const auto mic = m_mics.find(sourceName);
    if (mic == m_mics.end() || !m_dir)
        return false;
    removeTone(mic->second.tone);
    mic->second.frequency = frequency;
    if (m_kind == KxSoundServer::PulseAudio) {
        mic->second.tone = addTone(sourceName + QStringLiteral("_tone"), frequency);
        return mic->second.tone >= 0;
    }
    // What the old writer left in the fifo would be the next sound read.
    const QString fifo = m_dir->path() + QStringLiteral("/%1.fifo").arg(sourceName);
    for (int pass = 0; pass < 2; ++pass) {
        QThread::msleep(50);
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            return false;
        char buffer[65536];
        while (::read(fd, buffer, sizeof buffer) > 0) {
        }
        ::close(fd);
    }
    mic->second.tone = feed(fifo, frequency, m_channels);
    return mic->second.tone >= 0;
}

QString KxPulseDaemon::toneFile(int frequency, int channels)
{
    // One second of the sine: whole periods for any whole frequency, so
    // playing it over and over has no seam.
    const QString file = m_dir->path() + QStringLiteral("/tone_%1_%2.raw").arg(frequency).arg(channels);
    if (!QFile::exists(file)) {
        QByteArray data(m_rate * channels * static_cast<int>(sizeof(float)), '\0');
        auto *samples = reinterpret_cast<float *>(data.data());
        for (int i = 0; i < m_rate; ++i)
            for (int c = 0; c < channels; ++c)
                samples[channels * i + c] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * frequency * i / m_rate));
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly) || out.write(data) != data.size())
            return QString();
    }
    return file;
}

int KxPulseDaemon::feed(const QString &fifo, int frequency, int channels)
{
    const QString file = toneFile(frequency, channels);
    if (file.isEmpty())
        return -1;
    // A pipe holds 170 ms of this sound: on a loaded machine the writer is
    // held up longer than that and the source runs dry, which a microphone
    // never does. A larger pipe outlasts such a stall; the size stays with
    // the pipe while the server holds it open.
    const int fd = ::open(QFile::encodeName(fifo).constData(), O_RDWR | O_NONBLOCK);
    if (fd >= 0) {
        ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
        ::close(fd);
    }
    // The writer blocks while the fifo is full, so the source's reader
    // sets the pace. It dies with this process.
    return startHelper(QStringLiteral("while setpriv --pdeathsig KILL -- cat \"$1\"; do :; done > \"$2\""),
                       {file, fifo});
}

int KxPulseDaemon::startHelper(const QString &script, const QStringList &args)
{
    auto process = std::make_unique<QProcess>();
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(m_dir->path() + QStringLiteral("/tone.log"), QIODevice::Append);
    process->start(QStringLiteral("setpriv"), QStringList{QStringLiteral("--pdeathsig"), QStringLiteral("KILL"),
                                                          QStringLiteral("--"), QStringLiteral("/bin/sh"),
                                                          QStringLiteral("-c"), script, QStringLiteral("sh")}
                                                  + args);
    if (!process->waitForStarted(5000))
        return -1;
    const int id = m_nextTone++;
    m_tones[id] = std::move(process);
    return id;
}

int KxPulseDaemon::addTone(const QString &sink, int frequency)
{
    if (m_kind == KxSoundServer::PulseAudio)
        return loadModule(QStringLiteral("module-sine"), QStringLiteral("sink=%1 frequency=%2").arg(sink).arg(frequency));
    if (!m_dir)
        return -1;
    const QString file = toneFile(frequency, 2);
    if (file.isEmpty())
        return -1;
    // pacat writes as the sink asks, so the sink clocks the tone; a second
    // of buffer outlasts the stalls of a loaded machine. It dies with the
    // shell, and the shell with this process; the loop then ends on a
    // broken pipe.
    auto streams = [this] {
        QString list;
        pactl({QStringLiteral("list"), QStringLiteral("sink-inputs"), QStringLiteral("short")}, &list);
        return list.isEmpty() ? 0 : list.count('\n') + 1;
    };
    const int before = streams();
    const int id = startHelper(QStringLiteral("while cat \"$1\"; do :; done | setpriv --pdeathsig KILL -- pacat "
                                              "--playback --raw --server=%1 --device=%2 --rate=%3 --channels=2 "
                                              "--format=float32le --latency-msec=1000 --client-name=kx-tone")
                                   .arg(m_server, sink).arg(m_rate),
                               {file});
    // Like module-sine, the tone is playing when this returns: the stream
    // is linked and past its start, when the server still resynchronises.
    QDeadlineTimer deadline(5000);
    for (; id >= 0 && !deadline.hasExpired(); QThread::msleep(50)) {
        if (streams() > before) {
            QThread::msleep(500);
            break;
        }
    }
    return id;
}

bool KxPulseDaemon::removeTone(int id)
{
    if (m_kind == KxSoundServer::PulseAudio)
        return unloadModule(id);
    auto it = m_tones.find(id);
    if (it == m_tones.end())
        return false;
    it->second->terminate();
    if (!it->second->waitForFinished(3000)) {
        it->second->kill();
        it->second->waitForFinished(3000);
    }
    m_tones.erase(it);
    return true;
}

KxPulseDaemon *KxPulseSuite::s_daemon = nullptr;
bool KxPulseSuite::s_started = false;
std::string KxPulseSuite::s_error;

void KxPulseSuite::SetUpTestSuite()
{
    s_daemon = new KxPulseDaemon;
    s_started = s_daemon->start();
    s_error = s_started ? std::string() : s_daemon->lastError().toStdString();
}

void KxPulseSuite::TearDownTestSuite()
{
    delete s_daemon;
    s_daemon = nullptr;
    s_started = false;
}
