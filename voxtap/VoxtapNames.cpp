#include "VoxtapNames.h"

#include <algorithm>
#include <regex>

namespace voxtap {

std::string withoutProfileSuffix(const std::string &name)
{
    // The profile names of PulseAudio's and PipeWire's ALSA profiles (the
    // server appends the profile to the card's name), with the connector
    // some add in brackets.
    static const std::regex suffix(
        " +(((Analog|Digital) )?(Stereo|Mono|Surround [0-9.]+)|Multichannel)"
        "( Input)?( \\([^()]*\\))?$",
        std::regex::ECMAScript | std::regex::icase);
    std::smatch m;
    if (!std::regex_search(name, m, suffix) || m.position(0) == 0)
        return name;
    return name.substr(0, static_cast<size_t>(m.position(0)));
}

std::string friendlyName(int flow, const std::string &unitName)
{
    return (flow == VOXTAP_FLOW_RENDER ? "Speakers (" : "Microphone (") + unitName + ")";
}

std::vector<std::string> voxtapMatchNames(const VoxtapDeviceInfo &device)
{
    std::vector<std::string> names;
    auto add = [&names](const std::string &name) {
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    };
    auto addUnit = [&](const std::string &unit) {
        if (unit.empty())
            return;
        add(friendlyName(device.dataFlow, unit));
        add(friendlyName(device.dataFlow, withoutProfileSuffix(unit)));
    };
    add(device.friendlyName);
    // "Microphone (<unit>)": the name inside may carry a profile suffix too.
    const std::string &f = device.friendlyName;
    const size_t open = f.find(" (");
    if (open != std::string::npos && f.size() > open + 3 && f.back() == ')') {
        const std::string inner = f.substr(open + 2, f.size() - open - 3);
        const std::string bare = withoutProfileSuffix(inner);
        if (bare != inner)
            add(f.substr(0, open + 2) + bare + ")");
    }
    for (const std::string &unit : device.unitNames)
        addUnit(unit);
    addUnit(device.description);
    return names;
}

} // namespace voxtap
