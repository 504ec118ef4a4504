#include "TerminationSignals.h"

#include <atomic>
#include <csignal>

namespace counting {

namespace {

std::atomic<PollThread *> Target{nullptr};
const int Handled[] = {SIGTERM, SIGHUP, SIGINT};

// Only async-signal-safe work here: an atomic store and a write().
void OnSignal(int)
{
    if (PollThread *poll = Target.load())
        poll->RequestEnd();
}

void SetDisposition(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : Handled)
        ::sigaction(signal, &action, nullptr);
}

} // namespace

TerminationSignals::TerminationSignals(PollThread &poll)
{
    Target = &poll;
    SetDisposition(OnSignal);
}

TerminationSignals::~TerminationSignals()
{
    SetDisposition(SIG_DFL);
    Target = nullptr;
}

} // namespace counting
