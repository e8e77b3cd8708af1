// The camera unit's microphone under the names the sound servers really
// give it: each property set is loaded as a source on the running server
// (PulseAudio or PipeWire), listed through libVoxtap and looked up with
// the program's own microphone pattern.

#include "KxMerioSettingsData.h"
#include "KxPulseFixture.h"
#include "Voxtap.h"
#include "VoxtapNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

namespace {

using Props = QList<QPair<QString, QString>>;

struct NameCase {
    const char *name;
    Props props;
    int channels;
    const char *friendlyName;
    bool found;
};

Props usb(KxSoundServer server, const QString &unit, int channels, const QString &database = {})
{
    return KxPulseDaemon::usbSourceProperties(server, unit, channels, database);
}

} // namespace

class VoxtapNames : public KxPulseSuite {};

TEST_F(VoxtapNames, TheUnitIsFoundUnderEveryNameTheServersGiveIt)
{
    const QString unit = QStringLiteral("VANTRI Multimedia Unit HD");
    const auto pa = KxSoundServer::PulseAudio;
    const auto pw = KxSoundServer::PipeWire;
    const NameCase cases[] = {
        {"PulseAudio, the unit's own name", usb(pa, unit, 2), 2, "Microphone (VANTRI Multimedia Unit HD)", true},
        {"PulseAudio, USB database name", usb(pa, unit, 2, "VT-200 Conference Camera"), 2,
         "Microphone (VT-200 Conference Camera)", true},
        {"PipeWire node, stereo", usb(pw, unit, 2), 2, "Microphone (VANTRI Multimedia Unit HD)", true},
        {"PipeWire node, mono", usb(pw, unit, 1), 1, "Microphone (VANTRI Multimedia Unit HD)", true},
        {"PipeWire node, ULTRA model", usb(pw, "VANTRI Multimedia Unit ULTRA HD", 2), 2,
         "Microphone (VANTRI Multimedia Unit ULTRA HD)", true},
        {"description only, digital profile",
         {{"device.description", "VANTRI Multimedia Unit HD Digital Stereo (IEC958)"}}, 2,
         "Microphone (VANTRI Multimedia Unit HD)", true},
        {"description only, as the unit names it", {{"device.description", unit}}, 2,
         "Microphone (VANTRI Multimedia Unit HD)", true},
        {"another model whose name begins alike", usb(pw, unit + " Pro", 2), 2,
         "Microphone (VANTRI Multimedia Unit HD Pro)", false},
        {"another microphone", usb(pa, "USB PnP Sound Device", 2), 2, "Microphone (USB PnP Sound Device)", false},
    };
    const std::regex pattern(KxMerioSettingsData::instance()->audioDevicePattern().toStdString());
    int i = 0;
    for (const NameCase &c : cases) {
        SCOPED_TRACE(c.name);
        const QString source = QStringLiteral("kx_name_case_%1").arg(i++);
        QString args = QStringLiteral("source_name=%1 master=kx_drain.monitor").arg(source);
        if (c.channels == 1)
            args += QStringLiteral(" channels=1 channel_map=mono");
        const int module = s_daemon->loadModule(QStringLiteral("module-remap-source"),
                                                args + QStringLiteral(" source_properties=") + KxPulseDaemon::properties(c.props));
        ASSERT_GE(module, 0);
        std::list<VoxtapDeviceInfo> list;
        EXPECT_EQ(Voxtap_ListDevices(&list, VOXTAP_FLOW_CAPTURE), 0);
        s_daemon->unloadModule(module);
        const auto it = std::find_if(list.begin(), list.end(),
                                     [&](const VoxtapDeviceInfo &d) { return d.endpointId == source.toStdString(); });
        ASSERT_NE(it, list.end());
        EXPECT_EQ(it->friendlyName, c.friendlyName);
        const auto names = voxtap::voxtapMatchNames(*it);
        const bool found = std::any_of(names.begin(), names.end(),
                                       [&](const std::string &n) { return std::regex_search(n, pattern); });
        EXPECT_EQ(found, c.found);
        // PulseAudio's udev names carry the unit's USB ids.
        const bool hasIds = std::count(it->unitNames.begin(), it->unitNames.end(), "USB\\VID_1D6C&PID_0103") == 1;
        EXPECT_EQ(hasIds, c.props.contains({"device.vendor.id", "1d6c"}));
    }
}
