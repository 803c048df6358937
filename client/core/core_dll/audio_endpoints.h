// Listing of the active audio endpoints of one direction with their friendly names.
#pragma once

#include <functional>
#include <string>

#include "audio/audio.h"

namespace tallowmarch {

using AudioEndpointCallback =
    std::function<void(const std::wstring& id, const std::wstring& name, bool isDefault)>;

// Calls `callback` for every active endpoint (capture endpoints when `capture`, else render
// endpoints), in the system's order, flagging the default endpoint of the console role. Any
// failure ends the listing quietly; an endpoint that cannot be read is skipped.
void EnumerateAudioEndpoints(bool capture, const AudioEndpointCallback& callback);

// The endpoint's friendly name, or "(unknown device)" when it cannot be read.
std::wstring GetDeviceFriendlyName(platform::AudioEndpoint& device);

}  // namespace tallowmarch
