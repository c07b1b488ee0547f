#include "QuitSignalWatcher.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The write end is all the signal handler may touch; the read end belongs to the watcher.
std::array<int, 2> pipeEnds{-1, -1};
constexpr std::array<int, 2> watchedSignals{SIGTERM, SIGINT};

extern "C" void onQuitSignal(int signalNumber) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a pending quit; losing this byte changes nothing.
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
    errno = savedErrno;
}

bool setHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    bool allSet = true;
    for (int signalNumber : watchedSignals) {
        allSet = ::sigaction(signalNumber, &action, nullptr) == 0 && allSet;
    }
    return allSet;
}

void closePipe() {
    for (int &end : pipeEnds) {
        if (end != -1) {
            ::close(end);
        }
        end = -1;
    }
}

} // namespace

QuitSignalWatcher::QuitSignalWatcher(QObject *parent)
    : QObject(parent) {
    if (pipeEnds[0] != -1) {
        throw std::logic_error("QuitSignalWatcher: one watcher at a time");
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipeEnds.data()) !=
        0) {
        closePipe();
        throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
    }
    if (!setHandler(onQuitSignal)) {
        const int error = errno;
        setHandler(SIG_DFL);
        closePipe();
        throw std::runtime_error(std::string("sigaction: ") + std::strerror(error));
    }
    m_notifier = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &QuitSignalWatcher::onReadable);
}

QuitSignalWatcher::~QuitSignalWatcher() {
    // Restoring the default actions cannot fail for these two signals.
    setHandler(SIG_DFL);
    m_notifier.reset();
    closePipe();
}

void QuitSignalWatcher::onReadable() {
    unsigned char byte = 0;
    while (::read(pipeEnds[0], &byte, 1) == 1) {
        emit quitRequested(byte);
    }
}
