#pragma once
// Crash safety of the MP4 file. While a recording runs, the MP4 writer
// writes fragmented MP4 (a fragment at each video key frame) marked as
// unfinished by its major brand, and KxDurableFile makes it durable on disk
// every couple of seconds: killed at any moment, the file plays up to its
// last fragment. At a clean stop finaliseRecording turns it into a regular
// MP4 file (one index, no fragments); recordings left unfinished by a
// killed process are finalised the same way at the next start
// (recoverUnfinishedRecordings, declared in IKxModuleLocalFile.h).

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace KxFileModule {

/// Major brand of an MP4 file that is still being recorded (or was left
/// so by a process that died). A finished file has the usual brand.
constexpr const char *kUnfinishedBrand = "kxrc";
/// Options of the MP4 muxer while recording: an empty moov written with
/// the first fragment (so that it carries the stream's own parameter
/// sets), a fragment at each video key frame, and one at least every two
/// seconds without video.
constexpr const char *kRecordingMovFlags = "frag_keyframe+empty_moov+delay_moov+default_base_moof";
constexpr const char *kRecordingMaxFragmentMicroseconds = "2000000";
/// Suffix of the temporary file finalisation writes beside the recording
/// before it replaces the recording by renaming.
constexpr const char *kFinalisingSuffix = ".finalising";

/// Whether path is an MP4 file marked as unfinished (its ftyp box names
/// kUnfinishedBrand). Reads twelve bytes; false for anything else.
bool isUnfinishedRecording(const std::string &path);

/// Rewrites an unfinished (fragmented) recording into a regular MP4 file
/// with the same streams and packets: stream copy into path +
/// kFinalisingSuffix, synced, then renamed over path. A fragment cut short
/// (the process died or the disk filled while writing it) is dropped from
/// its first incomplete packet on. On failure path is left as it was, the
/// temporary file is removed, and reason says why (English). Runs on the
/// calling thread; a 3-minute recording takes about a tenth of a second.
bool finaliseRecording(const std::string &path, std::string *reason);

/// For tests: reads of finaliseRecording's input fail with EIO once this
/// many bytes of packets have been read (after the file's header); a
/// negative value turns the fault off.
void failFinaliseReadsAfterForTest(int64_t bytes);

/// Makes a file durable on disk every kPeriod on a thread of its own, so
/// that the writer never waits for the disk; the folder entry is synced
/// once. The writer keeps writing through its own descriptor.
class KxDurableFile {
public:
    static constexpr std::chrono::milliseconds kPeriod{2000};
    explicit KxDurableFile(const std::string &path);
    /// Syncs once more and stops the thread.
    ~KxDurableFile();
    KxDurableFile(const KxDurableFile &) = delete;
    KxDurableFile &operator=(const KxDurableFile &) = delete;

private:
    void run();
    void sync();

    std::string m_path;
    int m_fd = -1;
    bool m_bFolderSynced = false;
    bool m_bLoggedFailure = false;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bStop = false;
    std::thread m_thread;
};

} // namespace KxFileModule
