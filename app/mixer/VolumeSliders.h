#pragma once

#include <QObject>
#include <QPointer>
#include <QSlider>

#include <memory>
#include <string>

#include "app/mixer/MixerLines.h"

// Binds the window's "Master", "Speaker" and "Mic" sliders (range 0..255) to the mixer lines of a
// device; the "Speaker" slider sets this program's own streams instead where a sound server
// answers (mixer::MakeSpeakerLine). A slider sets its line when the user lets go of it, and after
// any other move of the user's (a click on the groove, a key, the wheel) once the slider has
// rested for a moment; a change made by another program moves the slider without being written
// back. A slider whose line is not usable is disabled, and nothing is printed. The window owns the
// sliders; this object owns the lines and must not outlive the sliders' window (make it a child of
// the window).
class VolumeSliders : public QObject {
    Q_OBJECT
  public:
    struct Sliders {
        QSlider* master = nullptr;
        QSlider* speaker = nullptr;
        QSlider* mic = nullptr;
    };

    // Opens the master and speaker lines at once; the microphone waits for InitMixerControls.
    VolumeSliders(const Sliders& sliders, QObject* parent = nullptr,
                  const std::string& device = "default");
    ~VolumeSliders() override;

    // The start-up sequence: slider ranges, disabled sliders without a line, unmuted output lines,
    // sliders at the present levels, the microphone line activated, and, when `AutoMMSettings` is
    // not 0 (a missing value counts as 1), the automatic mixer settings with a microphone level
    // below 32 raised to 128.
    void InitMixerControls();

    // Puts `level` AND 255 on the "Mic" slider and the microphone at that value x 256.
    void SetMicLevel(int level);
    // The microphone's level shifted right by 8; a refused query reads as 255 in the low 8 bits.
    unsigned GetMicLevel() const;
    // Run when a call has been connected: a microphone below 32 (of 255) is raised to 128. Does
    // nothing without a microphone line.
    void RaiseQuietMicrophone();

    VolumeControl* Master() const { return m_master.get(); }
    VolumeControl* Speaker() const { return m_speaker.get(); }
    VolumeControl* Mic() const { return m_mic.get(); }

  private:
    void Bind(QSlider* slider, VolumeControl* line);
    static void ShowLevel(QSlider* slider, int level);
    void InitMicrophone();

    std::string m_device;
    QPointer<QSlider> m_masterSlider;
    QPointer<QSlider> m_speakerSlider;
    QPointer<QSlider> m_micSlider;
    std::unique_ptr<MasterOutputVolume> m_master;
    std::unique_ptr<VolumeControl> m_speaker;
    std::unique_ptr<MicInputVolume> m_mic;
};
