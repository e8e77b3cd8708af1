#include "KxMp4Recovery.h"

#include "IKxModuleLocalFile.h"
#include "KxMuxer.h"
#include <sync/KxSync.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace KxFileModule {

namespace {

std::string avText(int err)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_make_error_string(text, sizeof(text), err);
    return text;
}

std::string folderOf(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// fsync of a file or folder by name; errno text on failure.
bool syncPath(const std::string &path, bool dataOnly, std::string *error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    const int ret = dataOnly ? ::fdatasync(fd) : ::fsync(fd);
    const int err = errno;
    ::close(fd);
    if (ret != 0) {
        *error = std::strerror(err);
        return false;
    }
    return true;
}

// Reads of the finalisation's input fail once this many bytes have been
// read after its header (tests of a disk that fails under the copy);
// negative: never.
std::atomic<int64_t> g_readFaultAfter{-1};

// The recording read through our own descriptor, so that a read error is
// seen as one (and can be injected).
struct InputFile {
    int fd = -1;
    bool copying = false; ///< the header is read; the packets are copied
    int64_t read = 0;     ///< bytes read while copying
    static int readPacket(void *opaque, uint8_t *buf, int size)
    {
        auto *f = static_cast<InputFile *>(opaque);
        const int64_t limit = g_readFaultAfter.load();
        if (f->copying && limit >= 0 && f->read >= limit)
            return AVERROR(EIO);
        ssize_t n;
        do {
            n = ::read(f->fd, buf, size_t(size));
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            return AVERROR(errno);
        if (n == 0)
            return AVERROR_EOF;
        if (f->copying)
            f->read += n;
        return int(n);
    }
    static int64_t seek(void *opaque, int64_t offset, int whence)
    {
        auto *f = static_cast<InputFile *>(opaque);
        if (whence & AVSEEK_SIZE) {
            struct stat st;
            return ::fstat(f->fd, &st) == 0 ? int64_t(st.st_size) : AVERROR(errno);
        }
        const off_t at = ::lseek(f->fd, offset, whence & ~AVSEEK_FORCE);
        return at < 0 ? AVERROR(errno) : int64_t(at);
    }
};

// The input and output of one finalisation, freed in every case.
struct Remux {
    InputFile file;
    AVIOContext *io = nullptr;
    AVFormatContext *in = nullptr;
    AVFormatContext *out = nullptr;
    AVPacket *pkt = nullptr;
    // Per stream, the packet read last: written once the next one of its
    // stream gives its length (see writeHeld).
    std::vector<AVPacket *> held;
    ~Remux()
    {
        for (AVPacket *&p : held)
            av_packet_free(&p);
        av_packet_free(&pkt);
        avformat_close_input(&in);
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
        if (file.fd >= 0)
            ::close(file.fd);
        if (out) {
            if (out->pb)
                avio_closep(&out->pb);
            avformat_free_context(out);
        }
    }
};

bool remux(const std::string &path, const std::string &temp, std::string *reason)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        *reason = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    Remux r;
    r.file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (r.file.fd < 0) {
        *reason = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    constexpr int kBufferSize = 64 * 1024;
    auto *buffer = static_cast<unsigned char *>(av_malloc(kBufferSize));
    r.io = buffer ? avio_alloc_context(buffer, kBufferSize, 0, &r.file, &InputFile::readPacket, nullptr,
                                       &InputFile::seek)
                  : nullptr;
    r.in = avformat_alloc_context();
    if (!r.io || !r.in) {
        if (!r.io)
            av_free(buffer);
        *reason = "out of memory";
        return false;
    }
    r.in->pb = r.io;
    int ret = avformat_open_input(&r.in, path.c_str(), nullptr, nullptr);
    if (ret < 0) {
        *reason = "cannot be read (" + avText(ret) + "); it holds no complete fragment";
        return false;
    }
    if (r.in->nb_streams == 0) {
        *reason = "holds no stream";
        return false;
    }
    ret = avformat_alloc_output_context2(&r.out, nullptr, "mp4", temp.c_str());
    if (ret < 0 || !r.out) {
        *reason = "cannot set up the MP4 muxer: " + avText(ret);
        return false;
    }
    for (unsigned i = 0; i < r.in->nb_streams; ++i) {
        AVStream *out = avformat_new_stream(r.out, nullptr);
        if (!out || avcodec_parameters_copy(out->codecpar, r.in->streams[i]->codecpar) < 0) {
            *reason = "cannot copy the streams";
            return false;
        }
        out->codecpar->codec_tag = 0;
        // A recording's track header was written before its first picture
        // and says the configured size; the stream's parameter set says the
        // size that was encoded.
        int width = 0, height = 0;
        if (out->codecpar->codec_id == AV_CODEC_ID_H264
            && h264PictureSize(out->codecpar->extradata, out->codecpar->extradata_size, &width, &height)
            && (width != out->codecpar->width || height != out->codecpar->height)) {
            qInfo() << "KxFileModule::finaliseRecording" << "video is" << width << "x" << height << "not"
                    << out->codecpar->width << "x" << out->codecpar->height;
            out->codecpar->width = width;
            out->codecpar->height = height;
        }
        // Not stored in MP4; AAC frames are always 1024 samples.
        if (out->codecpar->codec_id == AV_CODEC_ID_AAC && out->codecpar->frame_size == 0)
            out->codecpar->frame_size = 1024;
        out->time_base = r.in->streams[i]->time_base;
    }
    ret = avio_open(&r.out->pb, temp.c_str(), AVIO_FLAG_WRITE);
    if (ret < 0) {
        *reason = "cannot create " + temp + ": " + avText(ret);
        return false;
    }
    ret = avformat_write_header(r.out, nullptr);
    if (ret < 0) {
        *reason = "writing the header failed: " + avText(ret);
        return false;
    }
    r.pkt = av_packet_alloc();
    if (!r.pkt) {
        *reason = "out of memory";
        return false;
    }
    const int64_t fileSize = st.st_size;
    r.file.copying = true;
    std::vector<int64_t> lastDts(r.in->nb_streams, AV_NOPTS_VALUE);
    std::vector<int64_t> lastLength(r.in->nb_streams, 0);
    r.held.assign(r.in->nb_streams, nullptr);
    for (AVPacket *&p : r.held) {
        if (!(p = av_packet_alloc())) {
            *reason = "out of memory";
            return false;
        }
    }
    int64_t written = 0;
    // The demuxer leaves the lengths of samples of varying length at 0;
    // the muxer ends the track's edit at the end of its last sample, so a
    // last frame of no length would be cut off the finished file. A
    // packet's length is the distance to the next of its stream; the last
    // one lasts a nominal frame period (or as long as the one before).
    auto writeHeld = [&](int s, const AVPacket *next) -> int {
        AVPacket *p = r.held[size_t(s)];
        if (!p->data && p->size == 0 && p->side_data_elems == 0)
            return 0;
        if (p->duration <= 0) {
            const AVRational rate = r.in->streams[s]->r_frame_rate;
            if (next && next->dts != AV_NOPTS_VALUE && p->dts != AV_NOPTS_VALUE && next->dts > p->dts)
                p->duration = next->dts - p->dts;
            else if (r.in->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && rate.num > 0 && rate.den > 0)
                p->duration = av_rescale_q(1, av_inv_q(rate), r.out->streams[s]->time_base);
            else
                p->duration = lastLength[size_t(s)];
        }
        lastLength[size_t(s)] = p->duration;
        const int ret = av_write_frame(r.out, p);
        av_packet_unref(p);
        if (ret >= 0)
            ++written;
        return ret;
    };
    while ((ret = av_read_frame(r.in, r.pkt)) >= 0) {
        // A packet read up to the very end of the file may have been cut
        // short there (the process died or the disk filled during its
        // fragment): it and everything after it are dropped.
        if (r.pkt->pos >= 0 && r.pkt->pos + r.pkt->size >= fileSize) {
            av_packet_unref(r.pkt);
            break;
        }
        const int s = r.pkt->stream_index;
        if (s < 0 || s >= int(r.out->nb_streams)
            || (lastDts[s] != AV_NOPTS_VALUE && r.pkt->dts != AV_NOPTS_VALUE && r.pkt->dts <= lastDts[s])) {
            av_packet_unref(r.pkt);
            continue;
        }
        if (r.pkt->dts != AV_NOPTS_VALUE)
            lastDts[s] = r.pkt->dts;
        av_packet_rescale_ts(r.pkt, r.in->streams[s]->time_base, r.out->streams[s]->time_base);
        r.pkt->pos = -1;
        const int wrote = writeHeld(s, r.pkt);
        av_packet_move_ref(r.held[size_t(s)], r.pkt);
        if (wrote < 0) {
            *reason = "writing " + temp + " failed: " + avText(wrote);
            return false;
        }
    }
    // A read error leaves the recording as it is: a short copy must never
    // replace it. Data the demuxer cannot parse at the end is a fragment
    // cut short (the process died while writing it), which is dropped.
    if (r.io->error < 0 || (ret < 0 && ret != AVERROR_EOF && ret != AVERROR_INVALIDDATA)) {
        *reason = "reading failed part-way: " + avText(r.io->error < 0 ? r.io->error : ret);
        return false;
    }
    if (ret == AVERROR_INVALIDDATA)
        qWarning() << "KxFileModule::finaliseRecording" << QString::fromStdString(path)
                   << "unreadable data at the end (a fragment cut short) is dropped";
    for (int s = 0; s < int(r.held.size()); ++s) {
        const int wrote = writeHeld(s, nullptr);
        if (wrote < 0) {
            *reason = "writing " + temp + " failed: " + avText(wrote);
            return false;
        }
    }
    if (written == 0) {
        *reason = "holds no complete fragment";
        return false;
    }
    ret = av_write_trailer(r.out);
    if (ret < 0) {
        *reason = "writing the index failed: " + avText(ret);
        return false;
    }
    ret = avio_closep(&r.out->pb);
    if (ret < 0) {
        *reason = "closing " + temp + " failed: " + avText(ret);
        return false;
    }
    return true;
}

} // namespace

void failFinaliseReadsAfterForTest(int64_t bytes)
{
    g_readFaultAfter.store(bytes);
}

bool isUnfinishedRecording(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    unsigned char head[12] = {0};
    const size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    return n == sizeof head && std::memcmp(head + 4, "ftyp", 4) == 0
        && std::memcmp(head + 8, kUnfinishedBrand, 4) == 0;
}

bool finaliseRecording(const std::string &path, std::string *reason)
{
    const std::string temp = path + kFinalisingSuffix;
    std::string why;
    std::string error;
    bool ok = remux(path, temp, &why);
    // Renamed only once its bytes are on disk: a crash right after the
    // rename must not leave an empty file in place of the recording.
    if (ok && !syncPath(temp, true, &error)) {
        why = "syncing " + temp + " failed: " + error;
        ok = false;
    }
    if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
        why = "renaming " + temp + " failed: " + std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        // Only the file this call wrote goes; the recording stays as it was.
        std::remove(temp.c_str());
        qWarning() << "KxFileModule::finaliseRecording" << QString::fromStdString(path)
                   << "left as it was:" << QString::fromStdString(why);
        if (reason)
            *reason = why;
        return false;
    }
    if (!syncPath(folderOf(path), false, &error))
        qWarning() << "KxFileModule::finaliseRecording" << "syncing the folder of" << QString::fromStdString(path)
                   << "failed:" << QString::fromStdString(error);
    return true;
}

int recoverUnfinishedRecordings(const std::string &root)
{
    const QString rootPath = QString::fromStdString(root);
    QStringList folders{rootPath};
    const QDir rootDir(rootPath);
    if (!rootDir.exists()) {
        qDebug() << "KxFileModule::recoverUnfinishedRecordings" << rootPath << "does not exist";
        return 0;
    }
    for (const QFileInfo &sub : rootDir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks))
        folders << sub.absoluteFilePath();
    int finalised = 0;
    for (const QString &folder : folders) {
        const QFileInfoList files = QDir(folder).entryInfoList({"*.mp4"}, QDir::Files | QDir::NoSymLinks, QDir::Name);
        for (const QFileInfo &file : files) {
            const std::string path = file.absoluteFilePath().toStdString();
            if (file.size() == 0 && folder != rootPath) {
                // The muxer writes nothing before the first fragment.
                qWarning() << "KxFileModule::recoverUnfinishedRecordings" << file.absoluteFilePath()
                           << "is empty (the recording ended before its first fragment); left as it is";
                continue;
            }
            if (!isUnfinishedRecording(path))
                continue;
            qWarning() << "KxFileModule::recoverUnfinishedRecordings" << "unfinished recording"
                       << file.absoluteFilePath();
            std::string reason;
            if (finaliseRecording(path, &reason)) {
                qWarning() << "KxFileModule::recoverUnfinishedRecordings" << "finalised" << file.absoluteFilePath();
                ++finalised;
            } else {
                qWarning() << "KxFileModule::recoverUnfinishedRecordings" << file.absoluteFilePath()
                           << "cannot be repaired and is left as it is:" << QString::fromStdString(reason);
            }
        }
    }
    return finalised;
}

KxDurableFile::KxDurableFile(const std::string &path)
    : m_path(path)
{
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        qWarning() << "KxDurableFile::KxDurableFile" << QString::fromStdString(path)
                   << "cannot be opened for syncing:" << std::strerror(errno);
        return;
    }
    m_thread = std::thread([this] { run(); });
}

KxDurableFile::~KxDurableFile()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
}

void KxDurableFile::run()
{
    kxsync::setCurrentThreadName("kx-mp4-sync");
    std::unique_lock<std::mutex> lock(m_mutex);
    // The last sync comes after the stop was seen, so a stop that arrives
    // during a periodic sync still gets the bytes written since.
    for (bool stop = false; !stop;) {
        m_cv.wait_for(lock, kPeriod, [this] { return m_bStop; });
        stop = m_bStop;
        lock.unlock();
        sync();
        lock.lock();
    }
}

void KxDurableFile::sync()
{
    if (::fdatasync(m_fd) != 0 && !m_bLoggedFailure) {
        m_bLoggedFailure = true;
        qWarning() << "KxDurableFile::sync" << QString::fromStdString(m_path) << "fdatasync failed:"
                   << std::strerror(errno);
    }
    if (!m_bFolderSynced) {
        m_bFolderSynced = true;
        std::string error;
        if (!syncPath(folderOf(m_path), false, &error))
            qWarning() << "KxDurableFile::sync" << "syncing the folder of" << QString::fromStdString(m_path)
                       << "failed:" << QString::fromStdString(error);
    }
}

} // namespace KxFileModule
