#include "app/mixer/AlsaMixer.h"

#include <cstring>
#include <mutex>

namespace mixer {
namespace {

void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsa() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&QuietAlsa); });
}

// The capture source item whose name holds "Mic" ("Mic", "Front Mic", ...); -1 when none.
int MicrophoneItem(snd_mixer_elem_t* element) {
    const int items = snd_mixer_selem_get_enum_items(element);
    for (int i = 0; i < items; ++i) {
        char name[64] = {};
        if (snd_mixer_selem_get_enum_item_name(element, static_cast<unsigned>(i), sizeof name,
                                               name) == 0 &&
            std::strstr(name, "Mic") != nullptr) {
            return i;
        }
    }
    return -1;
}

}  // namespace

std::unique_ptr<AlsaMixer> AlsaMixer::Open(const std::string& device) {
    SilenceAlsa();
    snd_mixer_t* handle = nullptr;
    if (snd_mixer_open(&handle, 0) < 0) {
        return nullptr;
    }
    if (snd_mixer_attach(handle, device.c_str()) < 0 ||
        snd_mixer_selem_register(handle, nullptr, nullptr) < 0 || snd_mixer_load(handle) < 0) {
        snd_mixer_close(handle);
        return nullptr;
    }
    return std::unique_ptr<AlsaMixer>(new AlsaMixer(handle));
}

AlsaMixer::~AlsaMixer() {
    snd_mixer_close(m_handle);
}

snd_mixer_elem_t* AlsaMixer::Find(const char* name) const {
    snd_mixer_selem_id_t* id = nullptr;
    snd_mixer_selem_id_alloca(&id);
    snd_mixer_selem_id_set_name(id, name);
    snd_mixer_selem_id_set_index(id, 0);
    return snd_mixer_find_selem(m_handle, id);
}

void SelectMicrophone(const AlsaMixer& mixer, snd_mixer_elem_t* element) {
    if (element != nullptr) {
        SetCaptureSwitch(element, true);
    }
    for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer.handle()); e != nullptr;
         e = snd_mixer_elem_next(e)) {
        if (!snd_mixer_selem_is_enumerated(e) || !snd_mixer_selem_is_enum_capture(e)) {
            continue;
        }
        const int item = MicrophoneItem(e);
        if (item >= 0) {
            for (int channel = 0; channel <= SND_MIXER_SCHN_LAST; ++channel) {
                snd_mixer_selem_set_enum_item(e, static_cast<snd_mixer_selem_channel_id_t>(channel),
                                              static_cast<unsigned>(item));
            }
        }
    }
}

void SetPlaybackSwitch(snd_mixer_elem_t* element, bool on) {
    if (element != nullptr && snd_mixer_selem_has_playback_switch(element)) {
        snd_mixer_selem_set_playback_switch_all(element, on ? 1 : 0);
    }
}

void SetCaptureSwitch(snd_mixer_elem_t* element, bool on) {
    if (element != nullptr && snd_mixer_selem_has_capture_switch(element)) {
        snd_mixer_selem_set_capture_switch_all(element, on ? 1 : 0);
    }
}

}  // namespace mixer
