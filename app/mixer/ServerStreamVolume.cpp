#include "app/mixer/ServerStreamVolume.h"

#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <QMetaObject>

#include <atomic>
#include <functional>
#include <map>
#include <string>

#include "app/mixer/MixerLines.h"

namespace {

int VolumeToLevel(pa_volume_t volume) {
    return mixer::ElementToLevel(static_cast<long>(volume), PA_VOLUME_MUTED, PA_VOLUME_NORM);
}

pa_volume_t LevelToVolume(unsigned level) {
    return static_cast<pa_volume_t>(mixer::LevelToElement(level, PA_VOLUME_MUTED, PA_VOLUME_NORM));
}

void Release(pa_operation* operation) {
    if (operation != nullptr) {
        pa_operation_unref(operation);
    }
}

}  // namespace

// The connection and what is known of this process's streams. Everything but the two atomics is
// touched only with the main loop's lock held: on the loop's thread in its callbacks, or on the
// GUI thread around a request.
struct ServerStreamVolume::Server {
    ~Server();
    bool Connect(int limitMs);
    void Apply(pa_volume_t volume);
    void ApplyMute(bool muted);

    static void OnState(pa_context* context, void* data);
    static void OnLimit(pa_mainloop_api*, pa_time_event*, const timeval*, void* data);
    static void OnListed(pa_context*, const pa_sink_input_info* info, int eol, void* data);
    static void OnInfo(pa_context*, const pa_sink_input_info* info, int eol, void* data);
    static void OnEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                        void* data);
    static void OnWritten(pa_context*, int, void* data);

    void OnReady();
    void OnStream(const pa_sink_input_info& info);
    void OnNewStream(const pa_sink_input_info& info);
    void Follow(pa_volume_t volume);
    void WriteVolume(uint32_t index, uint8_t channels);
    void WriteMute(uint32_t index);

    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    // This process's id as its streams' application.process.id reads it.
    std::string pid = std::to_string(getpid());
    bool listed = false;
    bool timedOut = false;
    // This process's streams on the server: index and channel count.
    std::map<uint32_t, uint8_t> streams;
    pa_volume_t chosen = PA_VOLUME_INVALID;
    int muted = -1;  // -1 until Activate or Deactivate
    // Requests of ours not yet answered: a change seen meanwhile may predate them.
    int pendingWrites = 0;
    std::atomic<bool> usable{false};
    std::atomic<int> level{mixer::kLevelMaximum};
    // Called on the loop's thread with a level another program set.
    std::function<void(int)> report;
};

ServerStreamVolume::Server::~Server() {
    if (loop != nullptr) {
        pa_threaded_mainloop_stop(loop);
    }
    if (context != nullptr) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    if (loop != nullptr) {
        pa_threaded_mainloop_free(loop);
    }
}

// Waits on the GUI thread, at most `limitMs`, until the server has answered and listed its
// streams; a server that hangs costs no more than that.
bool ServerStreamVolume::Server::Connect(int limitMs) {
    loop = pa_threaded_mainloop_new();
    if (loop == nullptr) {
        return false;
    }
    context = pa_context_new(pa_threaded_mainloop_get_api(loop), "Zorvo");
    if (context == nullptr || pa_threaded_mainloop_start(loop) < 0) {
        return false;
    }
    pa_threaded_mainloop_lock(loop);
    pa_context_set_state_callback(context, &Server::OnState, this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        const pa_usec_t limit = static_cast<pa_usec_t>(limitMs) * PA_USEC_PER_MSEC;
        pa_time_event* timer =
            pa_context_rttime_new(context, pa_rtclock_now() + limit, &Server::OnLimit, this);
        while (!listed && !timedOut && PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
            pa_threaded_mainloop_wait(loop);
        }
        pa_threaded_mainloop_get_api(loop)->time_free(timer);
    }
    usable = listed && pa_context_get_state(context) == PA_CONTEXT_READY;
    pa_threaded_mainloop_unlock(loop);
    return usable;
}

void ServerStreamVolume::Server::OnState(pa_context* context, void* data) {
    auto* server = static_cast<Server*>(data);
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
        server->OnReady();
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
        server->usable = false;
        pa_threaded_mainloop_signal(server->loop, 0);
    }
}

void ServerStreamVolume::Server::OnLimit(pa_mainloop_api*, pa_time_event*, const timeval*,
                                         void* data) {
    auto* server = static_cast<Server*>(data);
    server->timedOut = true;
    pa_threaded_mainloop_signal(server->loop, 0);
}

void ServerStreamVolume::Server::OnReady() {
    pa_context_set_subscribe_callback(context, &Server::OnEvent, this);
    Release(pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr));
    Release(pa_context_get_sink_input_info_list(context, &Server::OnListed, this));
}

void ServerStreamVolume::Server::OnListed(pa_context*, const pa_sink_input_info* info, int eol,
                                          void* data) {
    auto* server = static_cast<Server*>(data);
    if (eol != 0) {
        server->listed = true;
        pa_threaded_mainloop_signal(server->loop, 0);
    } else if (info != nullptr) {
        server->OnStream(*info);
    }
}

void ServerStreamVolume::Server::OnInfo(pa_context*, const pa_sink_input_info* info, int eol,
                                        void* data) {
    if (eol == 0 && info != nullptr) {
        static_cast<Server*>(data)->OnStream(*info);
    }
}

void ServerStreamVolume::Server::OnEvent(pa_context* context, pa_subscription_event_type_t type,
                                         uint32_t index, void* data) {
    auto* server = static_cast<Server*>(data);
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
        return;
    }
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
        server->streams.erase(index);
        return;
    }
    // A new stream or a changed one: its owner and volume are in its information.
    Release(pa_context_get_sink_input_info(context, index, &Server::OnInfo, server));
}

void ServerStreamVolume::Server::OnWritten(pa_context*, int, void* data) {
    --static_cast<Server*>(data)->pendingWrites;
}

void ServerStreamVolume::Server::OnStream(const pa_sink_input_info& info) {
    const char* owner = pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_PROCESS_ID);
    if (owner == nullptr || pid != owner || !info.has_volume) {
        return;
    }
    if (streams.insert_or_assign(info.index, info.volume.channels).second) {
        OnNewStream(info);
    } else if (pendingWrites == 0) {
        // A change of a stream seen before, not one of ours in flight: another program's.
        Follow(info.volume.values[0]);
    }
}

void ServerStreamVolume::Server::OnNewStream(const pa_sink_input_info& info) {
    if (chosen == PA_VOLUME_INVALID) {
        Follow(info.volume.values[0]);
    } else if (info.volume_writable && !pa_cvolume_channels_equal_to(&info.volume, chosen)) {
        WriteVolume(info.index, info.volume.channels);
    }
    if (muted != -1 && (info.mute != 0) != (muted != 0)) {
        WriteMute(info.index);
    }
}

void ServerStreamVolume::Server::Follow(pa_volume_t volume) {
    chosen = volume;
    const int followed = VolumeToLevel(volume);
    if (level.exchange(followed) != followed && report) {
        report(followed);
    }
}

void ServerStreamVolume::Server::WriteVolume(uint32_t index, uint8_t channels) {
    pa_cvolume volume;
    pa_cvolume_set(&volume, channels, chosen);
    pa_operation* written =
        pa_context_set_sink_input_volume(context, index, &volume, &Server::OnWritten, this);
    pendingWrites += written != nullptr ? 1 : 0;
    Release(written);
}

void ServerStreamVolume::Server::WriteMute(uint32_t index) {
    pa_operation* written =
        pa_context_set_sink_input_mute(context, index, muted, &Server::OnWritten, this);
    pendingWrites += written != nullptr ? 1 : 0;
    Release(written);
}

void ServerStreamVolume::Server::Apply(pa_volume_t volume) {
    pa_threaded_mainloop_lock(loop);
    chosen = volume;
    level = VolumeToLevel(volume);
    for (const auto& [index, channels] : streams) {
        WriteVolume(index, channels);
    }
    pa_threaded_mainloop_unlock(loop);
}

void ServerStreamVolume::Server::ApplyMute(bool mute) {
    pa_threaded_mainloop_lock(loop);
    muted = mute ? 1 : 0;
    for (const auto& stream : streams) {
        WriteMute(stream.first);
    }
    pa_threaded_mainloop_unlock(loop);
}

ServerStreamVolume::ServerStreamVolume(int connectLimitMs)
    : m_receiver(std::make_unique<QObject>()), m_server(std::make_unique<Server>()) {
    QObject* receiver = m_receiver.get();
    m_server->report = [this, receiver](int level) {
        QMetaObject::invokeMethod(
            receiver, [this, level] { OnOutsideLevel(level); }, Qt::QueuedConnection);
    };
    m_server->Connect(connectLimitMs);
}

// The server's thread stops before the receiver goes, which drops the reports still queued.
ServerStreamVolume::~ServerStreamVolume() {
    m_server.reset();
}

bool ServerStreamVolume::IsUsable() const {
    return m_server->usable;
}

void ServerStreamVolume::Activate() {
    if (IsUsable()) {
        m_server->ApplyMute(false);
    }
}

void ServerStreamVolume::Deactivate() {
    if (IsUsable()) {
        m_server->ApplyMute(true);
    }
}

int ServerStreamVolume::GetStepCount() const {
    return IsUsable() ? static_cast<int>(PA_VOLUME_NORM - PA_VOLUME_MUTED) : -1;
}

int ServerStreamVolume::GetMinimum() const {
    return IsUsable() ? 0 : -1;
}

int ServerStreamVolume::GetMaximum() const {
    return IsUsable() ? mixer::kLevelMaximum : -1;
}

int ServerStreamVolume::GetLevel() const {
    return IsUsable() ? m_server->level.load() : -1;
}

void ServerStreamVolume::SetLevel(unsigned value) {
    if (IsUsable() && value <= static_cast<unsigned>(mixer::kLevelMaximum)) {
        m_server->Apply(LevelToVolume(value));
    }
}

void ServerStreamVolume::SetChangeHandler(VolumeChangeHandler handler, uint32_t userData) {
    m_handler = std::move(handler);
    m_userData = userData;
}

void ServerStreamVolume::OnOutsideLevel(int level) {
    if (m_handler && IsUsable()) {
        m_handler(level, m_userData);
    }
}

namespace mixer {

std::unique_ptr<VolumeControl> MakeSpeakerLine(const std::string& device) {
    auto server = std::make_unique<ServerStreamVolume>();
    if (server->IsUsable()) {
        return server;
    }
    return std::make_unique<WaveOutputVolume>(device);
}

}  // namespace mixer
