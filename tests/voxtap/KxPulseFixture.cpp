#include "KxPulseFixture.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

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
// microphone its names and channel count.
QStringList toneCommands(const QString &name, int rate, int frequency)
{
    const QString sink = name + QStringLiteral("_tone");
    return {QStringLiteral("load-module module-null-sink sink_name=%1 rate=%2 channels=2 format=float32le "
                           "sink_properties=\"device.description='Tone %3' device.product.name='KX Tone Generator'\"")
                .arg(sink).arg(rate).arg(frequency),
            QStringLiteral("load-module module-sine sink=%1 frequency=%2").arg(sink).arg(frequency),
            QStringLiteral("load-module module-loopback source=%1.monitor sink=kx_drain latency_msec=10 "
                           "source_dont_move=true sink_dont_move=true").arg(sink),
            // The sink rendered its first block with its default latency
            // of two seconds; a restart begins at the latency now asked for.
            QStringLiteral("suspend-sink %1 1").arg(sink), QStringLiteral("suspend-sink %1 0").arg(sink)};
}

QString remapArgs(const QString &name, int channels, const QString &description, const QString &product)
{
    QString args = QStringLiteral("source_name=%1 master=%1_tone.monitor").arg(name);
    if (channels == 1)
        args += QStringLiteral(" channels=1 channel_map=mono");
    args += QStringLiteral(" source_properties=\"device.description='%1' device.product.name='%2'\"")
                .arg(description, product);
    return args;
}

} // namespace

KxPulseDaemon::~KxPulseDaemon()
{
    stop();
}

bool KxPulseDaemon::start(const Options &options, int timeoutMs)
{
    stop();
    m_rate = options.sampleRate;
    m_channels = options.channels;
    const QString program = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
    if (program.isEmpty()) {
        m_error = QStringLiteral("pulseaudio is not installed");
        return false;
    }
    // Short path: the socket path must fit a sockaddr_un.
    m_dir = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/kxpa-XXXXXX"));
    if (!m_dir->isValid()) {
        m_error = QStringLiteral("no temporary folder");
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
    QStringList lines;
    lines << QStringLiteral("load-module module-native-protocol-unix socket=%1 auth-anonymous=1").arg(socket)
          << QStringLiteral("load-module module-null-sink sink_name=kx_drain rate=%1 channels=2 "
                            "sink_properties=\"device.description='Drain' device.product.name='KX Drain'\"")
                 .arg(m_rate);
    lines << toneCommands(kMicSource, m_rate, kMicFrequency)
          << QStringLiteral("load-module module-remap-source %1")
                 .arg(remapArgs(kMicSource, m_channels, "VANTRI USB Audio", kMicProduct));
    lines << toneCommands(kPlainSource, m_rate, kPlainFrequency)
          << QStringLiteral("load-module module-remap-source %1")
                 .arg(remapArgs(kPlainSource, m_channels, "USB Microphone", "Generic USB Microphone"));
    lines << QStringLiteral("load-module module-null-sink sink_name=%1 rate=%2 channels=2 "
                            "sink_properties=\"device.description='Null Output' device.product.name='KX Test Speakers'\"")
                 .arg(kNullSink).arg(m_rate)
          << QStringLiteral("set-default-source %1").arg(kMicSource)
          << QStringLiteral("set-default-sink %1").arg(kNullSink);
    f.write(lines.join('\n').toUtf8() + '\n');
    f.close();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), base);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), base);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), base + QStringLiteral("/config"));
    env.insert(QStringLiteral("PULSE_RUNTIME_PATH"), base + QStringLiteral("/runtime"));
    env.insert(QStringLiteral("PULSE_STATE_PATH"), base + QStringLiteral("/state"));
    env.remove(QStringLiteral("PULSE_SERVER"));
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.remove(QStringLiteral("DISPLAY"));
    m_process = std::make_unique<QProcess>();
    m_process->setProcessEnvironment(env);
    m_process->setStandardOutputFile(base + QStringLiteral("/daemon.log"));
    m_process->setStandardErrorFile(base + QStringLiteral("/daemon.log"), QIODevice::Append);
    QStringList args{QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
                     QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--disallow-exit"),
                     QStringLiteral("--use-pid-file=no"), QStringLiteral("--realtime=no"),
                     QStringLiteral("--high-priority=no"), QStringLiteral("--log-target=stderr"),
                     QStringLiteral("-F"), script};
    // The daemon must not outlive a crashed test.
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (!setpriv.isEmpty()) {
        args.prepend(program);
        args.prepend(QStringLiteral("--"));
        args.prepend(QStringLiteral("KILL"));
        args.prepend(QStringLiteral("--pdeathsig"));
        m_process->start(setpriv, args);
    } else {
        m_process->start(program, args);
    }
    if (!m_process->waitForStarted(5000)) {
        m_error = QStringLiteral("pulseaudio did not start: ") + m_process->errorString();
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
        m_error = QStringLiteral("pulseaudio did not become ready: ") + logText();
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
    for (const QString &command : toneCommands(sourceName, m_rate, frequency)) {
        QStringList parts = command.split(' ');
        if (parts.at(0) == QStringLiteral("suspend-sink")) {
            if (!pactl(parts))
                return -1;
            continue;
        }
        const QString module = parts.at(1);
        parts = parts.mid(2);
        if (loadModule(module, parts.join(' ')) < 0)
            return -1;
    }
    return loadModule(QStringLiteral("module-remap-source"),
                      remapArgs(sourceName, m_channels, productName + QStringLiteral(" Audio"), productName));
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
