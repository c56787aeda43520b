#include "app/shell/TerminationSignal.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// [0] is read by the GUI thread, [1] written by the handler; -1 while no instance watches.
int g_pair[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // Non-blocking: when the pair is full a byte is already waiting, which is all that matters.
    [[maybe_unused]] const ssize_t written = ::write(g_pair[1], &byte, 1);
    errno = saved;
}

void Install(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace

TerminationSignal::TerminationSignal(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_pair) != 0) {
        g_pair[0] = g_pair[1] = -1;
        return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(g_pair[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &TerminationSignal::OnReadable);
    Install(&OnSignal);
}

TerminationSignal::~TerminationSignal() {
    if (!m_notifier) {
        return;
    }
    Install(SIG_DFL);
    m_notifier.reset();
    ::close(g_pair[0]);
    ::close(g_pair[1]);
    g_pair[0] = g_pair[1] = -1;
}

void TerminationSignal::OnReadable() {
    char bytes[16];
    while (::read(g_pair[0], bytes, sizeof bytes) > 0) {
    }
    emit requested();
}
