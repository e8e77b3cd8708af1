// Voxtap.dll through its exports, on the system's audio API: run under Wine
// by tst_voxtap_wine, whose private sound server offers the unit's
// microphone "Microphone (VANTRI Multimedia Unit HD)" carrying a tone and a
// plain "USB Microphone".

#include "Voxtap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <list>
#include <regex>
#include <string>
#include <thread>

namespace {

const char *const kUnitPattern = "\\(*VANTRI Multimedia Unit (ULTRA ){0,1}HD\\)*$";
const char *const kUnitName = "Microphone (VANTRI Multimedia Unit HD)";

struct Counter : VoxtapNotify {
    std::atomic<int> units{0};
    std::atomic<int> states{0};
    void onAudioData(const unsigned char *, int) override { ++units; }
    void onDeviceState(const char *, int) override { ++states; }
};

std::string unitId()
{
    std::list<VoxtapDeviceInfo> devices;
    if (Voxtap_ListDevices(&devices, VOXTAP_FLOW_CAPTURE) != VOXTAP_OK)
        return std::string();
    const std::regex pattern(kUnitPattern);
    for (const VoxtapDeviceInfo &d : devices)
        if (std::regex_search(d.friendlyName, pattern))
            return d.endpointId;
    return std::string();
}

TEST(VoxtapWindows, ListsEndpointsOfEachFlowAndFindsTheUnitByItsPattern)
{
    EXPECT_EQ(Voxtap_ListDevices(nullptr, VOXTAP_FLOW_CAPTURE), VOXTAP_E_GENERIC);
    const std::regex pattern(kUnitPattern);
    struct Case {
        int flow;
        bool render, capture;
    };
    for (const Case &c : {Case{VOXTAP_FLOW_CAPTURE, false, true}, Case{VOXTAP_FLOW_RENDER, true, false},
                          Case{VOXTAP_FLOW_ALL, true, true}, Case{77, true, true}}) {
        SCOPED_TRACE("flow " + std::to_string(c.flow));
        std::list<VoxtapDeviceInfo> devices{VoxtapDeviceInfo()}; // emptied first
        ASSERT_EQ(Voxtap_ListDevices(&devices, c.flow), VOXTAP_OK);
        int matches = 0, render = 0, capture = 0;
        bool renderAfterCapture = false;
        for (const VoxtapDeviceInfo &d : devices) {
            SCOPED_TRACE(d.friendlyName + " " + d.endpointId);
            EXPECT_FALSE(d.endpointId.empty());
            EXPECT_FALSE(d.friendlyName.empty());
            EXPECT_FALSE(d.deviceInstanceId.empty());
            EXPECT_EQ(d.state, static_cast<unsigned>(VOXTAP_STATE_ACTIVE));
            if (d.dataFlow == VOXTAP_FLOW_RENDER) {
                ++render;
                renderAfterCapture = renderAfterCapture || capture > 0;
            } else {
                EXPECT_EQ(d.dataFlow, VOXTAP_FLOW_CAPTURE);
                ++capture;
            }
            if (d.dataFlow == VOXTAP_FLOW_CAPTURE && std::regex_search(d.friendlyName, pattern)) {
                ++matches;
                EXPECT_EQ(d.friendlyName, kUnitName);
            }
        }
        EXPECT_EQ(render > 0, c.render);
        EXPECT_EQ(capture >= 2, c.capture) << "the unit's and the plain microphone";
        EXPECT_EQ(matches, c.capture ? 1 : 0) << "only the unit's microphone matches";
        EXPECT_FALSE(renderAfterCapture) << "render endpoints are listed first";
    }
}

TEST(VoxtapWindows, RefusesBadCallsWithTheLibrarysCodes)
{
    EXPECT_EQ(Voxtap_Start(), VOXTAP_E_GENERIC);
    EXPECT_EQ(Voxtap_Stop(), VOXTAP_E_GENERIC);
    EXPECT_EQ(Voxtap_Pause(1), VOXTAP_E_GENERIC);
    EXPECT_EQ(Voxtap_InitWithId(nullptr, nullptr), VOXTAP_E_GENERIC);
    EXPECT_EQ(Voxtap_InitWithId("{0.0.1.00000000}.{00000000-0000-0000-0000-000000000000}", nullptr),
              VOXTAP_E_ENDPOINT);
    EXPECT_EQ(Voxtap_Start(), VOXTAP_E_GENERIC) << "a failed init leaves no engine to start";
    const VoxtapAudioParams noEncoder{12345678, 128000, 2, 44100};
    const std::string id = unitId();
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(Voxtap_InitWithId(id.c_str(), &noEncoder), VOXTAP_E_NOENCODER);
    EXPECT_EQ(Voxtap_Init(1, nullptr), VOXTAP_OK) << "the default microphone";
    EXPECT_EQ(Voxtap_UnInit(), VOXTAP_OK);
    EXPECT_EQ(Voxtap_UnInit(), VOXTAP_OK);
}

// Two runs on one engine: each delivers the sound of its own time only, a
// second start while running is refused, and nothing arrives after a stop.
TEST(VoxtapWindows, StopsAndStartsAgainOnTheUnitsMicrophone)
{
    const std::string id = unitId();
    ASSERT_FALSE(id.empty());
    const VoxtapAudioParams params{86018, 128000, 2, 44100};
    ASSERT_EQ(Voxtap_InitWithId(id.c_str(), &params), VOXTAP_OK);
    EXPECT_EQ(Voxtap_InitWithId(id.c_str(), &params), VOXTAP_OK) << "already initialised";
    Counter counter;
    Voxtap_SetDataCbk(&counter);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const int before = counter.units.load();
        ASSERT_EQ(Voxtap_Start(), VOXTAP_OK);
        EXPECT_EQ(Voxtap_Start(), VOXTAP_E_STARTED);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ASSERT_EQ(Voxtap_Stop(), VOXTAP_OK);
        const int units = counter.units.load() - before;
        // 1.5 s is 65 access units of 1024 samples at 44.1 kHz; a run that
        // lost its start or its end would fall far short, one that kept the
        // previous run's sound would exceed it.
        EXPECT_GE(units, 40);
        EXPECT_LE(units, 90);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(counter.units.load() - before, units) << "delivery after Voxtap_Stop returned";
    }
    EXPECT_EQ(counter.states.load(), 0);
    Voxtap_SetDataCbk(nullptr);
    EXPECT_EQ(Voxtap_UnInit(), VOXTAP_OK);
}

} // namespace
