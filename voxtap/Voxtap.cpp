// The exports of libVoxtap: one engine per process behind one library
// mutex.

#include "Voxtap.h"

#include "VoxtapEngine.h" // the engine of the platform, chosen by the build
#include "VoxtapLog.h"

#include <mutex>
#include <new>

namespace {

std::mutex g_libraryMutex;
voxtap::VoxtapCoreAudioApi *g_engine = nullptr;

voxtap::VoxtapCoreAudioApi *ensureEngine()
{
    if (!g_engine)
        g_engine = new (std::nothrow) voxtap::VoxtapCoreAudioApi();
    return g_engine;
}

} // namespace

extern "C" {

int Voxtap_InitWithId(const char *endpointId, const VoxtapAudioParams *params)
{
    std::lock_guard<std::mutex> lock(g_libraryMutex);
    voxtap::VoxtapCoreAudioApi *engine = ensureEngine();
    if (!engine)
        return VOXTAP_E_GENERIC;
    return engine->initWithId(endpointId, params);
}

int Voxtap_Init(int useCapture, const VoxtapAudioParams *params)
{
    std::lock_guard<std::mutex> lock(g_libraryMutex);
    voxtap::VoxtapCoreAudioApi *engine = ensureEngine();
    if (!engine)
        return VOXTAP_E_GENERIC;
    return engine->initDefault(useCapture, params);
}

int Voxtap_Start()
{
    std::lock_guard<std::mutex> lock(g_libraryMutex);
    if (!g_engine)
        return VOXTAP_E_GENERIC;
    return g_engine->start();
}

int Voxtap_Pause(int pause)
{
    std::lock_guard<std::mutex> lock(g_libraryMutex);
    if (!g_engine)
        return VOXTAP_E_GENERIC;
    g_engine->setPause(pause != 0);
    return VOXTAP_OK;
}

int Voxtap_Stop()
{
    std::lock_guard<std::mutex> lock(g_libraryMutex);
    if (!g_engine)
        return VOXTAP_E_GENERIC;
    return g_engine->stop();
}

void Voxtap_SetDataCbk(VoxtapNotify *receiver)
{
    std::lock_guard<std::mutex> lock(g_libraryMutex);
    if (g_engine)
        g_engine->setReceiver(receiver);
}

int Voxtap_ListDevices(std::list<VoxtapDeviceInfo> *devices, int flow)
{
    return voxtap::VoxtapCoreAudioApi::listDevices(devices, flow);
}

int Voxtap_GetCaptureTiming(VoxtapCaptureTiming *timing)
{
    // No mutex: the receiver calls this during a delivery, while the export
    // that ends the capture holds the mutex and waits for that delivery.
    // The engine cannot go away meanwhile: Voxtap_UnInit stops the capture
    // thread before it deletes the engine.
    if (!g_engine || !timing)
        return VOXTAP_E_GENERIC;
    *timing = g_engine->captureTiming();
    return VOXTAP_OK;
}

int Voxtap_UnInit()
{
    std::lock_guard<std::mutex> lock(g_libraryMutex);
    if (!g_engine)
        return VOXTAP_OK;
    const int result = g_engine->uninit();
    delete g_engine;
    g_engine = nullptr;
    return result;
}

} // extern "C"
