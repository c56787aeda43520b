#include "app/mixer/VolumeSliders.h"

#include <QSignalBlocker>
#include <QTimer>

#include "app/mixer/ServerStreamVolume.h"
#include "app/settings/ProgramSettings.h"

namespace {

constexpr int kQuietMicrophone = 32;
constexpr int kRaisedMicrophone = 128;
// How long a slider has to rest after the user's last move before the mixer is set.
constexpr int kSettleMs = 150;

void PrepareSlider(QSlider* slider) {
    if (slider != nullptr) {
        slider->setRange(0, 255);
    }
}

}  // namespace

VolumeSliders::VolumeSliders(const Sliders& sliders, QObject* parent, const std::string& device)
    : QObject(parent),
      m_device(device),
      m_masterSlider(sliders.master),
      m_speakerSlider(sliders.speaker),
      m_micSlider(sliders.mic),
      m_master(std::make_unique<MasterOutputVolume>(device)),
      m_speaker(mixer::MakeSpeakerLine(device)) {}

VolumeSliders::~VolumeSliders() = default;

void VolumeSliders::InitMixerControls() {
    PrepareSlider(m_masterSlider);
    PrepareSlider(m_speakerSlider);
    Bind(m_masterSlider, m_master.get());
    Bind(m_speakerSlider, m_speaker.get());
    m_master->Activate();
    m_speaker->Activate();
    ShowLevel(m_masterSlider, m_master->GetLevel());
    ShowLevel(m_speakerSlider, m_speaker->GetLevel());
    PrepareSlider(m_micSlider);
    InitMicrophone();
}

void VolumeSliders::InitMicrophone() {
    auto mic = std::make_unique<MicInputVolume>(m_device);
    if (!mic->IsUsable()) {
        if (m_micSlider) {
            m_micSlider->setEnabled(false);
        }
        return;
    }
    m_mic = std::move(mic);
    m_mic->Activate();
    Bind(m_micSlider, m_mic.get());
    ShowLevel(m_micSlider, m_mic->GetLevel());
    if (ProgramSettings::AutoMMSettings()) {
        ApplyAutoMixerSettings(m_device);
        RaiseQuietMicrophone();
    }
}

void VolumeSliders::Bind(QSlider* slider, VolumeControl* line) {
    if (slider == nullptr) {
        return;
    }
    slider->setEnabled(line->IsUsable());
    if (!line->IsUsable()) {
        return;
    }
    QPointer<QSlider> guarded(slider);
    line->SetChangeHandler([guarded](int value, uint32_t) { ShowLevel(guarded, value); }, 0);
    auto apply = [guarded, line] {
        if (guarded) {
            line->SetLevel(mixer::SliderToLevel(guarded->value()));
        }
    };
    // Every move the user makes (a drag, a click on the groove, a key, the wheel) is an action of
    // the slider; a change shown from the mixer is not. The mixer is set once the slider has
    // settled, so that holding a key or spinning the wheel writes once, not at every step.
    auto* settle = new QTimer(this);
    settle->setSingleShot(true);
    settle->setInterval(kSettleMs);
    connect(settle, &QTimer::timeout, this, apply);
    connect(slider, &QAbstractSlider::actionTriggered, settle, qOverload<>(&QTimer::start));
    connect(slider, &QSlider::sliderReleased, this, [settle, apply] {
        settle->stop();
        apply();
    });
}

void VolumeSliders::ShowLevel(QSlider* slider, int level) {
    if (slider != nullptr) {
        slider->setValue(mixer::LevelToSlider(level));
    }
}

void VolumeSliders::SetMicLevel(int level) {
    const int position = level & 255;
    if (m_micSlider) {
        m_micSlider->setValue(position);
    }
    if (m_mic) {
        m_mic->SetLevel(mixer::SliderToLevel(position));
    }
}

unsigned VolumeSliders::GetMicLevel() const {
    const int level = m_mic ? m_mic->GetLevel() : -1;
    return static_cast<unsigned>(level) >> 8;
}

void VolumeSliders::RaiseQuietMicrophone() {
    if (m_mic && (GetMicLevel() & 255) < kQuietMicrophone) {
        SetMicLevel(kRaisedMicrophone);
    }
}
