#pragma once

#include <alsa/asoundlib.h>

#include <memory>
#include <string>

namespace mixer {

// One open handle on an ALSA mixer device with its simple elements loaded. ALSA's own error
// reports are switched off before the first use, so that a machine without a card prints nothing.
class AlsaMixer {
  public:
    // The mixer of `device` ("default" in the program); null when there is none.
    static std::unique_ptr<AlsaMixer> Open(const std::string& device);
    ~AlsaMixer();
    AlsaMixer(const AlsaMixer&) = delete;
    AlsaMixer& operator=(const AlsaMixer&) = delete;

    // The simple element of that name (index 0); null when the device has none.
    snd_mixer_elem_t* Find(const char* name) const;

    snd_mixer_t* handle() const { return m_handle; }

  private:
    explicit AlsaMixer(snd_mixer_t* handle) : m_handle(handle) {}
    snd_mixer_t* m_handle;
};

// Switches the capture of `element` on and, where the device chooses its capture source through
// an enumerated element, selects the first source whose name holds "Mic".
void SelectMicrophone(const AlsaMixer& mixer, snd_mixer_elem_t* element);

// Sets the playback switch of every channel of `element` (when it has one).
void SetPlaybackSwitch(snd_mixer_elem_t* element, bool on);

// Sets the capture switch of every channel of `element` (when it has one).
void SetCaptureSwitch(snd_mixer_elem_t* element, bool on);

}  // namespace mixer
