#include "app/call/AudioRoute.h"

#include <QThread>

AudioRoute::AudioRoute(QObject* parent, Resolver resolver)
    : QObject(parent), m_resolver(std::move(resolver)) {
    if (!m_resolver) {
        m_resolver = [] { return Endpoints{devices::Microphone(), devices::Speaker()}; };
    }
}

AudioRoute::~AudioRoute() {
    if (m_thread != nullptr) {
        m_thread->wait();
        delete m_thread;
    }
}

void AudioRoute::Refresh() {
    if (m_thread != nullptr) {
        m_again = true;  // the settings changed while the devices were listed
        return;
    }
    Start();
}

void AudioRoute::Start() {
    m_again = false;
    m_thread = QThread::create([this] {
        Endpoints endpoints = m_resolver();
        std::lock_guard lock(m_lock);
        m_result = std::move(endpoints);
    });
    // Delivered on this object's thread once the check is done.
    connect(m_thread, &QThread::finished, this, &AudioRoute::OnFinished, Qt::QueuedConnection);
    m_thread->start();
}

void AudioRoute::OnFinished() {
    m_thread->wait();
    delete m_thread;
    m_thread = nullptr;
    Endpoints endpoints;
    {
        std::lock_guard lock(m_lock);
        endpoints = m_result;
    }
    if (m_again) {
        Start();
        return;
    }
    emit resolved(endpoints);
}

QString AudioRoute::StatusText(const Endpoints& endpoints) {
    QStringList texts;
    for (const QString& text : {endpoints.microphone.status, endpoints.speaker.status}) {
        if (!text.isEmpty()) {
            texts << text;
        }
    }
    return texts.join(' ');
}
