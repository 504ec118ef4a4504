// SIGTERM, SIGHUP and SIGINT end the program the way closing the window
// does.  A handler may only do async-signal-safe work, so it just writes a
// byte into a socket pair; the event loop reads it and emits received().
#pragma once

#include <QObject>

class QSocketNotifier;

class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    // While disabled, signals wait in the socket and are delivered on enabling.
    void setEnabled(bool enabled);

signals:
    void received();

private:
    QSocketNotifier *notifier_ = nullptr;
};
