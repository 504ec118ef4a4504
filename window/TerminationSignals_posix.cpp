#include "TerminationSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Signal dispositions belong to the process, so there is one bridge at a
// time; the program's one window owns it.
int SignalSockets[2] = {-1, -1};
const int Handled[] = {SIGTERM, SIGHUP, SIGINT};

void OnSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    // Non-blocking: when the socket is full, a byte is already pending.
    [[maybe_unused]] const ssize_t ignored = ::write(SignalSockets[0], &byte, 1);
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent)
{
    Q_ASSERT(SignalSockets[0] < 0);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, SignalSockets) != 0)
        return;
    notifier_ = new QSocketNotifier(SignalSockets[1], QSocketNotifier::Read, this);
    notifier_->setEnabled(false);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(SignalSockets[1], bytes, sizeof bytes) > 0) {
        }
        emit received();
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : Handled)
        ::sigaction(signal, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signal : Handled)
        ::sigaction(signal, &action, nullptr);
    delete notifier_;
    for (int &socket : SignalSockets) {
        if (socket >= 0)
            ::close(socket);
        socket = -1;
    }
}

void TerminationSignals::setEnabled(bool enabled)
{
    if (notifier_ != nullptr)
        notifier_->setEnabled(enabled);
}
