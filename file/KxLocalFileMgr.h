#pragma once
// The local file module: for each recording it writes every audio and video
// packet into the MP4 file (KxMp4Creater) and into the numbered TS segments
// (KxTsCreater), forwards the opening and closing of the MP4 file to the
// registered KxToLocalFileCbk and every finished segment to the cloud
// module's uploadVideo.
//
// Threads: start, stop and destory on the commander's thread,
// inputMediaPacket on the pool's output thread. One mutex serialises them.
// The reports (OnStart, OnStoped, OnBroken, uploadVideo) are collected
// while it is held and made after it is released, on the thread of the
// operation that caused them and in the order of those operations, so a
// receiver may call back into this module.

#include "IKxModuleLocalFile.h"
#include "IKxToLocalFile.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace KxFileModule {

class KxLocalFileMgr final : public IKxModuleLocalFile, public KxToFileCbk {
public:
    KxLocalFileMgr();
    ~KxLocalFileMgr() override;

    int init() override;
    int setCloundModule(IKxModuleClound *cloud) override;
    void registerCallback(KxToLocalFileCbk *callback) override;
    /// 0; 2 a writer was not created; 3 a writer failed to initialise or
    /// start. Stops a running recording first.
    int start(const KxLocalFileConfig &config) override;
    /// 0 written by both writers; 2 no recording runs; 3 a writer failed or
    /// the packet carries nothing to write (null, empty, not audio or video).
    uint8_t inputMediaPacket(IKxMediaPacket *packet) override;
    int stop() override;
    int destory() override;

    /// The writer parameters a configuration stands for (zero fields
    /// replaced by their defaults).
    static KxWriterParams paramsFromConfig(const KxLocalFileConfig &config);

    void onStart(int kind) override;
    void onFile(int kind, const char *path, double duration) override;
    void onBroken(int kind, const char *path, const char *reason) override;

private:
    struct Report {
        enum What { Started, Stopped, Broken, Segment } what;
        std::string path;
        std::string reason;
        double duration;
        // The receivers when the report was made (read under the mutex).
        KxToLocalFileCbk *callback = nullptr;
        IKxModuleClound *cloud = nullptr;
    };
    struct Reports {
        std::vector<Report> list;
        uint64_t turn = 0;  ///< 0: deliver at once (made from inside a delivery)
    };

    int startLocked(const KxLocalFileConfig &config, const KxWriterParams &params,
                    const std::shared_ptr<const KxStreamSetup> &streams);
    int stopLocked();
    /// Takes the reports collected under the mutex (call with it held).
    Reports takeReportsLocked();
    /// Makes the reports in the order their operations ran (call without the mutex).
    void deliver(Reports reports);
    void deliverOne(const Report &report);

    std::mutex m_mutex;
    std::vector<Report> m_pending;  ///< under m_mutex
    // Delivery order: each operation with reports takes a turn under
    // m_mutex and delivers when its turn comes.
    std::mutex m_turnMutex;
    std::condition_variable m_turnCv;
    uint64_t m_lastTurn = 0;
    uint64_t m_nextTurn = 1;
    std::thread::id m_deliverer;
    IKxToLocalFile *m_pMp4Writer = nullptr;
    IKxToLocalFile *m_pTsWriter = nullptr;
    IKxModuleClound *m_pCloud = nullptr;
    KxToLocalFileCbk *m_pCallback = nullptr;
};

} // namespace KxFileModule
