#pragma once

#include <QObject>

#include <memory>
#include <string>

#include "app/mixer/VolumeControl.h"

// The "Speaker" line on a sound server that speaks the PulseAudio protocol (PulseAudio, PipeWire's
// pulse server): there the far end's voice is this program's own playback stream, so the line is
// the volume of the server's sink inputs whose application.process.id is this process (the call's
// stream, opened through ALSA's pulse plugin, and the ring sounds alike).
//
// Levels: PA_VOLUME_NORM (the server's 100 %) is level 65535 and PA_VOLUME_MUTED is level 0,
// linear in between on the server's own volume scale (so a slider position reads as the
// percentage the server's tools show); volumes above 100 % read as 65535.
//
// The level chosen last (by SetLevel, or by another program changing one of these streams) is
// given to every stream of this process that appears later, since the call's stream opens only
// when a call starts. Before any level is chosen, the first stream's own volume is taken over.
// Activate and Deactivate unmute or mute these streams, now and when they appear.
//
// The server's main loop runs on a thread of its own; outside changes reach the change handler on
// the thread that made this object (the GUI thread) through its event loop, with no timer.
class ServerStreamVolume : public VolumeControl {
  public:
    // How long the constructor waits at most for a server to answer.
    static constexpr int kConnectLimitMs = 2000;

    // Connects to the server the environment names (never starting one) and learns the streams of
    // this process. Not usable when no server answered within `connectLimitMs`.
    explicit ServerStreamVolume(int connectLimitMs = kConnectLimitMs);
    ~ServerStreamVolume() override;
    ServerStreamVolume(const ServerStreamVolume&) = delete;
    ServerStreamVolume& operator=(const ServerStreamVolume&) = delete;

    // Connected to the server, and the connection still holds.
    bool IsUsable() const override;
    void Activate() override;
    void Deactivate() override;
    int GetStepCount() const override;
    int GetMinimum() const override;
    int GetMaximum() const override;
    // The level chosen last; 65535 (the server's 100 %) before any stream or choice.
    int GetLevel() const override;
    void SetLevel(unsigned value) override;
    void SetChangeHandler(VolumeChangeHandler handler, uint32_t userData) override;

  private:
    struct Server;
    void OnOutsideLevel(int level);

    // Receives the server thread's reports on this object's thread; outlives m_server.
    std::unique_ptr<QObject> m_receiver;
    std::unique_ptr<Server> m_server;
    VolumeChangeHandler m_handler;
    uint32_t m_userData = 0;
};

namespace mixer {

// The line behind the "Speaker" slider: the program's streams on a sound server when one answers,
// else the "PCM" playback element of the ALSA mixer of `device` (a plain card).
std::unique_ptr<VolumeControl> MakeSpeakerLine(const std::string& device);

}  // namespace mixer
