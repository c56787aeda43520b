#include "app/mixer/MixerLines.h"

#include <poll.h>

namespace {

bool HasVolume(snd_mixer_elem_t* element, AlsaVolumeLine::Side side) {
    return side == AlsaVolumeLine::Side::kPlayback ? snd_mixer_selem_has_playback_volume(element)
                                                   : snd_mixer_selem_has_capture_volume(element);
}

}  // namespace

AlsaVolumeLine::AlsaVolumeLine(const std::string& device, Side side, std::vector<const char*> names)
    : m_side(side), m_mixer(mixer::AlsaMixer::Open(device)) {
    if (!m_mixer) {
        return;
    }
    for (const char* name : names) {
        snd_mixer_elem_t* element = m_mixer->Find(name);
        if (element != nullptr && HasVolume(element, side)) {
            m_element = element;
            break;
        }
    }
    if (m_element == nullptr) {
        m_mixer.reset();
        return;
    }
    const int err =
        side == Side::kPlayback
            ? snd_mixer_selem_get_playback_volume_range(m_element, &m_minimum, &m_maximum)
            : snd_mixer_selem_get_capture_volume_range(m_element, &m_minimum, &m_maximum);
    if (err < 0 || m_maximum <= m_minimum) {
        m_element = nullptr;
        m_mixer.reset();
        return;
    }
    snd_mixer_elem_set_callback_private(m_element, this);
    snd_mixer_elem_set_callback(m_element, &AlsaVolumeLine::OnElementEvent);
    m_lastLevel = GetLevel();
    Watch();
}

// The notifiers go before the mixer handle whose descriptors they watch (member order).
AlsaVolumeLine::~AlsaVolumeLine() = default;

void AlsaVolumeLine::Activate() {
    if (m_side == Side::kPlayback) {
        mixer::SetPlaybackSwitch(m_element, true);
    }
}

void AlsaVolumeLine::Deactivate() {
    if (m_side == Side::kPlayback) {
        mixer::SetPlaybackSwitch(m_element, false);
    }
}

int AlsaVolumeLine::GetStepCount() const {
    return IsUsable() ? static_cast<int>(m_maximum - m_minimum) : -1;
}

int AlsaVolumeLine::GetMinimum() const {
    return IsUsable() ? 0 : -1;
}

int AlsaVolumeLine::GetMaximum() const {
    return IsUsable() ? mixer::kLevelMaximum : -1;
}

int AlsaVolumeLine::GetLevel() const {
    if (!IsUsable()) {
        return -1;
    }
    long value = 0;
    const auto first = SND_MIXER_SCHN_FRONT_LEFT;  // also the mono channel
    const int err = m_side == Side::kPlayback
                        ? snd_mixer_selem_get_playback_volume(m_element, first, &value)
                        : snd_mixer_selem_get_capture_volume(m_element, first, &value);
    return err < 0 ? -1 : mixer::ElementToLevel(value, m_minimum, m_maximum);
}

void AlsaVolumeLine::SetLevel(unsigned value) {
    if (!IsUsable() || value > static_cast<unsigned>(mixer::kLevelMaximum)) {
        return;
    }
    const long element = mixer::LevelToElement(value, m_minimum, m_maximum);
    if (m_side == Side::kPlayback) {
        snd_mixer_selem_set_playback_volume_all(m_element, element);
    } else {
        snd_mixer_selem_set_capture_volume_all(m_element, element);
    }
}

void AlsaVolumeLine::SetChangeHandler(VolumeChangeHandler handler, uint32_t userData) {
    m_handler = std::move(handler);
    m_userData = userData;
}

std::string AlsaVolumeLine::ElementName() const {
    return IsUsable() ? snd_mixer_selem_get_name(m_element) : std::string();
}

int AlsaVolumeLine::OnElementEvent(snd_mixer_elem_t* element, unsigned int mask) {
    auto* line = static_cast<AlsaVolumeLine*>(snd_mixer_elem_get_callback_private(element));
    if (line == nullptr) {
        return 0;
    }
    if (mask == SND_CTL_EVENT_MASK_REMOVE) {
        // The element is gone (the device went away): the line can no longer be used.
        line->m_element = nullptr;
        return 0;
    }
    if ((mask & SND_CTL_EVENT_MASK_VALUE) == 0) {
        return 0;
    }
    // Only a change of the volume reaches the handler; a switch change leaves the level alone.
    const int level = line->GetLevel();
    if (level != -1 && level != line->m_lastLevel) {
        line->m_lastLevel = level;
        if (line->m_handler) {
            line->m_handler(level, line->m_userData);
        }
    }
    return 0;
}

void AlsaVolumeLine::Watch() {
    const int count = snd_mixer_poll_descriptors_count(m_mixer->handle());
    if (count <= 0) {
        return;
    }
    std::vector<pollfd> fds(static_cast<std::size_t>(count));
    const int filled =
        snd_mixer_poll_descriptors(m_mixer->handle(), fds.data(), static_cast<unsigned>(count));
    for (int i = 0; i < filled; ++i) {
        auto notifier = std::make_unique<QSocketNotifier>(fds[static_cast<std::size_t>(i)].fd,
                                                          QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                         [this] { OnReadable(); });
        m_notifiers.push_back(std::move(notifier));
    }
}

void AlsaVolumeLine::OnReadable() {
    snd_mixer_t* handle = m_mixer->handle();
    std::vector<pollfd> fds(m_notifiers.size());
    for (std::size_t i = 0; i < fds.size(); ++i) {
        fds[i] = {static_cast<int>(m_notifiers[i]->socket()), POLLIN, 0};
    }
    ::poll(fds.data(), fds.size(), 0);
    unsigned short revents = 0;
    snd_mixer_poll_descriptors_revents(handle, fds.data(), static_cast<unsigned>(fds.size()),
                                       &revents);
    // A descriptor that reports an error or a hang-up stays readable for ever: the mixer is gone,
    // so stop watching it instead of spinning.
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 || snd_mixer_handle_events(handle) < 0) {
        StopWatching();
        m_element = nullptr;
    }
}

void AlsaVolumeLine::StopWatching() {
    for (auto& notifier : m_notifiers) {
        notifier->setEnabled(false);
    }
    // Deleting a notifier from inside its own signal is not allowed: let the event loop do it.
    for (auto& notifier : m_notifiers) {
        notifier.release()->deleteLater();
    }
    m_notifiers.clear();
}

MasterOutputVolume::MasterOutputVolume(const std::string& device)
    : AlsaVolumeLine(device, Side::kPlayback, {"Master"}) {}

WaveOutputVolume::WaveOutputVolume(const std::string& device)
    : AlsaVolumeLine(device, Side::kPlayback, {"PCM"}) {}

MicInputVolume::MicInputVolume(const std::string& device)
    : AlsaVolumeLine(device, Side::kCapture, {"Capture", "Mic"}) {}

void MicInputVolume::Activate() {
    if (IsUsable()) {
        mixer::SelectMicrophone(*Mixer(), Element());
    }
}

int ApplyAutoMixerSettings(const std::string& device) {
    const auto mixer = mixer::AlsaMixer::Open(device);
    if (!mixer) {
        return 0;
    }
    snd_mixer_elem_t* master = mixer->Find("Master");
    snd_mixer_elem_t* wave = mixer->Find("PCM");
    snd_mixer_elem_t* mic = mixer->Find("Mic");
    snd_mixer_elem_t* capture = mixer->Find("Capture");
    mixer::SetPlaybackSwitch(master, true);
    mixer::SetPlaybackSwitch(wave, true);  // heard
    mixer::SetCaptureSwitch(wave, false);  // not recorded
    mixer::SetPlaybackSwitch(mic, false);  // not heard
    mixer::SelectMicrophone(*mixer, mic);  // recorded, and chosen as capture source
    mixer::SetCaptureSwitch(capture, true);
    return 1;
}
