#include "audio/linux_audio.h"

namespace tallowmarch::platform {
namespace {

// Until the PulseAudio client is in place there is no sound server to reach.
class NoServerAudio : public AudioLayer {
 public:
  HRESULT CreateEndpointEnumerator(std::unique_ptr<AudioEndpointEnumerator>&) override {
    return AUDCLNT_E_SERVICE_NOT_RUNNING;
  }
};

}  // namespace

AudioLayer& LinuxAudioLayer() {
  static AudioLayer* const layer = new NoServerAudio;
  return *layer;
}

}  // namespace tallowmarch::platform
