#pragma once
// A VoxtapNotify for tests: keeps every access unit and device notice and
// lets the test wait for them with a bound.

#include "KxAacProbe.h"
#include "Voxtap.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class KxVoxtapReceiver : public VoxtapNotify {
public:
    void onAudioData(const unsigned char *data, int length) override
    {
        if (m_closed.load())
            m_afterClose.fetch_add(1);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_units.emplace_back(data, data + length);
        m_cv.notify_all();
    }
    void onDeviceState(const char *deviceId, int state) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_states.emplace_back(deviceId ? deviceId : "", state);
        m_cv.notify_all();
    }

    size_t unitCount()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_units.size();
    }
    std::vector<std::vector<uint8_t>> units()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_units;
    }
    std::vector<std::pair<std::string, int>> states()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_states;
    }
    bool waitUnits(size_t n, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_units.size() >= n; });
    }
    bool waitState(int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !m_states.empty(); });
    }
    /// From now on every delivery counts as late (after a stop returned).
    void close() { m_closed = true; }
    void reopen() { m_closed = false; }
    int deliveriesAfterClose() const { return m_afterClose.load(); }

    /// Decodes units [from, to) and returns the probe's measurements.
    struct Measure {
        double frequency = 0;
        double rms = 0;
        int errors = 0;
        int64_t samples = 0;
    };
    Measure measure(size_t from = 0, size_t to = SIZE_MAX, int rate = 44100, int channels = 2)
    {
        const auto all = units();
        KxAacProbe probe;
        Measure m;
        if (!probe.open(rate, channels))
            return m;
        for (size_t i = from; i < all.size() && i < to; ++i)
            probe.decode(all[i].data(), static_cast<int>(all[i].size()));
        m.frequency = probe.frequency();
        m.rms = probe.rms();
        m.errors = probe.errors();
        m.samples = probe.samples();
        return m;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::vector<uint8_t>> m_units;
    std::vector<std::pair<std::string, int>> m_states;
    std::atomic<bool> m_closed{false};
    std::atomic<int> m_afterClose{0};
};
