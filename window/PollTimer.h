// The poll timer behind Timer1.  Its ticks keep to absolute deadlines
// (start + n × interval), so a late tick does not push the later ones back.
#pragma once

#include <QObject>

#include <memory>

class PollTimer : public QObject
{
    Q_OBJECT
public:
    explicit PollTimer(QObject *parent = nullptr);
    ~PollTimer() override;

    // Restarts the period from now when the timer runs.
    void setInterval(int milliseconds);
    int interval() const { return interval_; }
    void start();
    bool isActive() const { return active_; }

signals:
    // Once per elapsed period; periods missed while the event loop was busy
    // give one tick, not a burst.
    void timeout();

private:
    void Arm();

    struct Clock;
    std::unique_ptr<Clock> clock_;
    int interval_ = 0;
    bool active_ = false;
};
