// A Windows GUI program has no console and gets no POSIX signals.  A session
// end (log-off, shutdown) reaches it as QCoreApplication::aboutToQuit, which
// Form1 handles; nothing is bridged here.
#include "TerminationSignals.h"

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent) {}

TerminationSignals::~TerminationSignals() = default;

void TerminationSignals::setEnabled(bool) {}
