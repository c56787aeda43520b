#include "app/sounds/SoundPlayer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <sndfile.h>

#include <cmath>
#include <memory>
#include <vector>

#include "engine/audio/AudioEndpoint.h"

#ifndef ZORVO_DATA_FROM_BIN
#define ZORVO_DATA_FROM_BIN "../share"
#endif

namespace {

constexpr std::size_t kChunk = 400;  // 50 ms at 8 kHz: how quickly a stop takes effect

}  // namespace

QString SoundsFolderFor(const QString& programDir) {
    const QString beside = programDir + "/sounds";
    if (QFileInfo(beside).isDir()) {
        return beside;
    }
    const QString installed = QDir::cleanPath(programDir + "/" ZORVO_DATA_FROM_BIN "/zorvo/sounds");
    if (QFileInfo(installed).isDir()) {
        return installed;
    }
    return beside;
}

QString SoundsFolder() {
    const QString configured = qEnvironmentVariable("ZORVO_SOUNDS_DIR");
    if (!configured.isEmpty()) {
        return configured;
    }
    return SoundsFolderFor(QCoreApplication::applicationDirPath());
}

struct SoundPlayer::Request {
    QString name;
    std::string path;  // empty for a tone
    bool loop = false;
    unsigned frequency = 0;
    unsigned milliseconds = 0;
};

struct SoundPlayer::Pending {
    Request request;
    unsigned generation;
};

SoundPlayer& SoundPlayer::Instance() {
    static SoundPlayer player;
    return player;
}

SoundPlayer::SoundPlayer() {
    m_endpoint = qEnvironmentVariable("ZORVO_SOUND_OUT").toStdString();
    m_thread = std::thread(&SoundPlayer::Run, this);
}

SoundPlayer::~SoundPlayer() {
    {
        std::lock_guard lock(m_lock);
        m_quit = true;
        ++m_generation;
    }
    m_changed.notify_all();
    m_thread.join();
    delete m_pending;
}

void SoundPlayer::SetEndpoint(const std::string& endpoint) {
    std::lock_guard lock(m_lock);
    m_endpoint = endpoint;
}

void SoundPlayer::SetObserver(std::function<void(const QString&)> observer) {
    std::lock_guard lock(m_lock);
    m_observer = std::move(observer);
}

void SoundPlayer::SetFallback(std::function<void()> fallback) {
    std::lock_guard lock(m_lock);
    m_fallback = std::move(fallback);
}

void SoundPlayer::Start(const Request& request) {
    {
        std::lock_guard lock(m_lock);
        ++m_generation;
        delete m_pending;
        m_pending = new Pending{request, m_generation};
    }
    m_changed.notify_all();
}

bool SoundPlayer::PlaySound(const QString& name, unsigned flags) {
    if (name.isEmpty()) {
        {
            std::lock_guard lock(m_lock);
            ++m_generation;
            delete m_pending;
            m_pending = nullptr;
        }
        m_changed.notify_all();
        return true;
    }
    if ((flags & kNoStop) && m_playing.load()) {
        return false;
    }
    Request request;
    request.name = name;
    request.loop = (flags & kLoop) != 0;
    const QString path = SoundsFolder() + "/" + name;
    if (QFileInfo::exists(path)) {
        request.path = QFile::encodeName(path).toStdString();
    } else {
        // A missing sound file plays the default sound instead.
        request.frequency = 880;
        request.milliseconds = 250;
    }
    m_playing.store(true);
    Start(request);
    return true;
}

void SoundPlayer::Beep(unsigned frequency, unsigned milliseconds) {
    Request request;
    request.name = "beep";
    request.frequency = frequency;
    request.milliseconds = milliseconds;
    m_playing.store(true);
    Start(request);
}

void SoundPlayer::Run() {
    for (;;) {
        Pending job{};
        std::string endpoint;
        std::function<void(const QString&)> observer;
        std::function<void()> fallback;
        {
            std::unique_lock lock(m_lock);
            m_changed.wait(lock, [this] { return m_quit || m_pending; });
            if (m_quit) {
                return;
            }
            job = *m_pending;
            delete m_pending;
            m_pending = nullptr;
            endpoint = m_endpoint;
            observer = m_observer;
            fallback = m_fallback;
        }
        if (observer) {
            observer(job.request.name);
        }
        auto cancelled = [&] {
            std::lock_guard lock(m_lock);
            return m_quit || m_generation != job.generation;
        };

        AudioFormat format;
        format.bufferSamples = kChunk;
        std::string error;
        std::unique_ptr<PlaybackStream> out = OpenPlaybackEndpoint(endpoint, format, &error);
        if (!out) {
            if (fallback && endpoint != "none") {
                fallback();
            }
        } else if (job.request.path.empty()) {
            const std::size_t total =
                static_cast<std::size_t>(job.request.milliseconds) * format.sampleRate / 1000;
            std::vector<int16_t> tone(kChunk);
            for (std::size_t done = 0; done < total && !cancelled(); done += kChunk) {
                for (std::size_t i = 0; i < kChunk; ++i) {
                    const double t = static_cast<double>(done + i) / format.sampleRate;
                    tone[i] =
                        static_cast<int16_t>(8000 * std::sin(2 * M_PI * job.request.frequency * t));
                }
                out->Write(tone.data(), std::min(kChunk, total - done));
            }
        } else {
            do {
                SF_INFO info{};
                SNDFILE* file = sf_open(job.request.path.c_str(), SFM_READ, &info);
                if (!file) {
                    break;
                }
                std::vector<int16_t> frames(kChunk * static_cast<std::size_t>(info.channels));
                std::vector<int16_t> mono(kChunk);
                sf_count_t got;
                while (!cancelled() &&
                       (got = sf_readf_short(file, frames.data(),
                                             static_cast<sf_count_t>(kChunk))) > 0) {
                    for (sf_count_t i = 0; i < got; ++i) {
                        mono[static_cast<std::size_t>(i)] =
                            frames[static_cast<std::size_t>(i * info.channels)];
                    }
                    out->Write(mono.data(), static_cast<std::size_t>(got));
                }
                sf_close(file);
            } while (job.request.loop && !cancelled());
        }
        std::lock_guard lock(m_lock);
        if (!m_pending) {
            m_playing.store(false);
        }
    }
}
