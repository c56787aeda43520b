#pragma once

// What Player and Recorder share: the endpoint text, the last error, the open device stream and the
// thread that serves it, all under one lock, and the start and stop sequences around them.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "engine/audio/AudioBackend.h"

namespace zorvo::audio {

template <class Stream>
struct EndpointWorker {
    // Opens the endpoint through `open(endpoint, format, &error)`; then, under the lock, runs
    // `prepare()`, starts `loop()` on the worker thread and runs `started()`. Non-zero on success;
    // otherwise lastError says why.
    template <class Open, class Prepare, class Loop, class Started>
    int StartWorker(const AudioFormat& format, uint32_t id, const char* alreadyStarted, Open open,
                    Prepare prepare, Loop loop, Started started) {
        std::string name;
        {
            std::lock_guard guard(lock);
            if (thread.joinable()) {
                lastError = alreadyStarted;
                return 0;
            }
            name = endpoint;
        }
        std::string error;
        std::unique_ptr<Stream> opened;
        if (CheckAudioFormat(format, &error)) {
            opened = open(name, format, &error);
        }
        std::lock_guard guard(lock);
        if (!opened) {
            lastError = error;
            return 0;
        }
        stopping = false;
        threadId = id;
        lastError.clear();
        stream = std::move(opened);
        prepare();
        try {
            thread = std::thread(loop);
        } catch (const std::system_error& e) {
            lastError = std::string("cannot start the device thread: ") + e.what();
            stream.reset();
            return 0;
        }
        started();
        return 1;
    }

    // Marks the worker stopping and runs `mark()` under the lock, then wakes and joins the thread
    // and closes the stream.
    template <class Mark>
    void StopWorker(Mark mark) {
        {
            std::lock_guard guard(lock);
            stopping = true;
            mark();
        }
        wake.notify_all();
        if (thread.joinable()) {
            thread.join();
        }
        stream.reset();
    }

    void SetEndpoint(const std::string& text) {
        std::lock_guard guard(lock);
        endpoint = text;
    }

    std::string LastError() const {
        std::lock_guard guard(lock);
        return lastError;
    }

    mutable std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    uint32_t threadId = 0;
    std::string endpoint;
    std::string lastError;

    // Used by the thread that calls Start and Stop.
    std::unique_ptr<Stream> stream;
    std::thread thread;
};

}  // namespace zorvo::audio
