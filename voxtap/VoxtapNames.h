#pragma once
// Names of audio endpoints, shared by every engine and by the host's device
// lookup; nothing here depends on the sound system.
//
// A sound server names a USB unit's microphone in several ways at once: the
// unit's own product string (the ALSA card name), a name from the USB ID
// database that udev prefers when the unit is listed there, the card's
// description, and the endpoint's description, which the server builds from
// one of those plus its profile ("... Analog Stereo", "... Mono"). Windows
// shows only "Microphone (<name>)". A device pattern written for the
// Windows friendly name finds the unit under any of them through
// voxtapMatchNames.
//
// Threads: plain functions, callable from any thread.

#include "Voxtap.h"

#include <string>
#include <vector>

namespace voxtap {

/// The name without the profile suffix a sound server adds to an endpoint's
/// description ("Analog Stereo", "Mono", "Digital Stereo (IEC958)", ...).
/// A name without such a suffix is returned unchanged.
std::string withoutProfileSuffix(const std::string &name);

/// Friendly name in the Windows convention: "Microphone (<unit>)" for a
/// capture endpoint, "Speakers (<unit>)" for a render endpoint.
std::string friendlyName(int flow, const std::string &unitName);

/// The texts a device pattern is searched in, best first and without
/// repeats: the friendly name, then "Microphone (<name>)" (or "Speakers
/// (...)") for every other name of the unit (VoxtapDeviceInfo::unitNames,
/// the description), each also without its profile suffix.
std::vector<std::string> voxtapMatchNames(const VoxtapDeviceInfo &device);

} // namespace voxtap
