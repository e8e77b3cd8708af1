// Borrow-fill-push-take-return cycle through the packet pool: the producer
// borrows a video packet (waiting as the encoder does), fills it and pushes
// it; the pool's output thread hands it to a consumer and returns it.
// Reports nanoseconds per packet and heap allocations per packet in the
// steady state (every allocation in the process is counted).

#include "IKxMediaPacket.h"
#include "IKxModuleLocalFile.h"
#include "KxModulePoolMgr.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

static std::atomic<long> g_allocations{0};

void *operator new(std::size_t n)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *malloc(size_t n)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t a, size_t b)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(a, b);
}
extern "C" void *realloc(void *p, size_t n)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}

namespace {
class NullFileSink : public IKxModuleLocalFile {
public:
    int init() override { return 0; }
    int setCloundModule(IKxModuleClound *) override { return 0; }
    void registerCallback(KxToLocalFileCbk *) override {}
    int start(const KxLocalFileConfig &) override { return 0; }
    uint8_t inputMediaPacket(IKxMediaPacket *p) override
    {
        benchmark::DoNotOptimize(p->getData()[0]);
        return 0;
    }
    int stop() override { return 0; }
    int destory() override { return 0; }
};
} // namespace

static void BM_PoolCycle(benchmark::State &state)
{
    const int payload = int(state.range(0));
    static uint8_t source[0x80000];
    std::memset(source, 0x5a, sizeof source);

    NullFileSink sink;
    IKxModulePoolMgr *pool = IKxModulePoolMgr::createInstance();
    pool->init();
    pool->setLocalFileModule(&sink);
    pool->start();

    // Warm-up: thread start-up and first use allocate; the steady state must not.
    for (int i = 0; i < 100; ++i) {
        IKxMediaPacket *p = pool->getVideoPacket(-1);
        p->setType(KX_PACKET_VIDEO);
        p->alloc(payload);
        p->setData(source, payload);
        pool->pushVideoPacket(p);
    }

    const long before = g_allocations.load();
    long packets = 0;
    for (auto _ : state) {
        IKxMediaPacket *p = pool->getVideoPacket(-1);
        p->setType(KX_PACKET_VIDEO);
        KxVideoInfo info;
        info.width = 1280;
        info.height = 720;
        info.dts = info.pts = packets;
        info.timeBase = 15;
        p->setVideoInfo(&info);
        p->alloc(payload);
        p->setData(source, payload);
        pool->pushVideoPacket(p);
        ++packets;
    }
    const long allocations = g_allocations.load() - before;

    pool->stop();
    pool->destory();
    state.counters["allocs_per_packet"] = packets ? double(allocations) / double(packets) : 0.0;
    state.counters["allocs_total"] = double(allocations);
    state.SetItemsProcessed(packets);
    state.SetBytesProcessed(packets * payload);
}
BENCHMARK(BM_PoolCycle)->Arg(64)->Arg(16384)->Arg(131072)->UseRealTime();

BENCHMARK_MAIN();
