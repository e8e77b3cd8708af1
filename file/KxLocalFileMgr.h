#pragma once
// The local file module: for each recording it writes every audio and video
// packet into the MP4 file (KxMp4Creater) and into the numbered TS segments
// (KxTsCreater), forwards the opening and closing of the MP4 file to the
// registered KxToLocalFileCbk and every finished segment to the cloud
// module's uploadVideo.
//
// Threads: start, stop and destory on the commander's thread,
// inputMediaPacket on the pool's output thread. One mutex serialises them;
// the callbacks it makes run while it is held and must not call back into
// this module.

#include "IKxModuleLocalFile.h"
#include "IKxToLocalFile.h"

#include <mutex>

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

private:
    int stopLocked();

    std::mutex m_mutex;
    IKxToLocalFile *m_pMp4Writer = nullptr;
    IKxToLocalFile *m_pTsWriter = nullptr;
    IKxModuleClound *m_pCloud = nullptr;
    KxToLocalFileCbk *m_pCallback = nullptr;
};

} // namespace KxFileModule
