#pragma once

#include <QSocketNotifier>

#include <memory>
#include <string>
#include <vector>

#include "app/mixer/AlsaMixer.h"
#include "app/mixer/VolumeControl.h"

// The three mixer lines behind the "Master", "Speaker" and "Mic" sliders, over the ALSA simple
// mixer of a device ("default" in the program). Each line opens its own handle on the mixer and
// watches the handle's poll descriptors with QSocketNotifiers, so outside changes arrive as soon
// as the mixer reports them, without any timer. A device without a mixer, or without the line's
// element, leaves the line not usable and silent.
class AlsaVolumeLine : public VolumeControl {
  public:
    enum class Side { kPlayback, kCapture };

    // Looks the line up at once: the first of `names` that has a volume on `side`.
    AlsaVolumeLine(const std::string& device, Side side, std::vector<const char*> names);
    ~AlsaVolumeLine() override;

    bool IsUsable() const override { return m_element != nullptr; }
    void Activate() override;
    void Deactivate() override;
    int GetStepCount() const override;
    int GetMinimum() const override;
    int GetMaximum() const override;
    int GetLevel() const override;
    void SetLevel(unsigned value) override;
    void SetChangeHandler(VolumeChangeHandler handler, uint32_t userData) override;

    // The element's name ("Master", "PCM", "Capture", ...); empty when not usable.
    std::string ElementName() const;

  protected:
    const mixer::AlsaMixer* Mixer() const { return m_mixer.get(); }
    snd_mixer_elem_t* Element() const { return m_element; }

  private:
    static int OnElementEvent(snd_mixer_elem_t* element, unsigned int mask);
    void Watch();
    void OnReadable();
    void StopWatching();

    Side m_side;
    std::unique_ptr<mixer::AlsaMixer> m_mixer;
    snd_mixer_elem_t* m_element = nullptr;
    long m_minimum = 0;
    long m_maximum = 0;
    int m_lastLevel = -1;
    std::vector<std::unique_ptr<QSocketNotifier>> m_notifiers;
    VolumeChangeHandler m_handler;
    uint32_t m_userData = 0;
};

// The device's master output ("Master").
class MasterOutputVolume : public AlsaVolumeLine {
  public:
    explicit MasterOutputVolume(const std::string& device = "default");
};

// The playback line that carries the far end's voice on a plain card: "PCM" where the device has
// one. A sound server's default device has no such element (only "Master" and "Capture"); there
// the "Speaker" slider sets the program's own streams on the server (ServerStreamVolume).
class WaveOutputVolume : public AlsaVolumeLine {
  public:
    explicit WaveOutputVolume(const std::string& device = "default");
};

// The microphone that feeds the recording: the capture volume "Capture", else "Mic". Activating it
// switches its capture on and selects it as capture source where the device has that choice;
// deactivating does nothing.
class MicInputVolume : public AlsaVolumeLine {
  public:
    explicit MicInputVolume(const std::string& device = "default");
    void Activate() override;
    void Deactivate() override {}
};

// Puts the mixer of `device` in a state that suits a call: master and wave playback unmuted, the
// wave line not recorded, the microphone not heard but recorded and chosen as capture source.
// Returns 1 when it ran, 0 when the mixer cannot be reached.
int ApplyAutoMixerSettings(const std::string& device = "default");
