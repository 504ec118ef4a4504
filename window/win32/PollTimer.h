// The poll timer behind Timer1 on Windows: a periodic waitable timer that the
// message loop waits on beside the window's messages.
//
// Not SetTimer: WM_TIMER rounds the period up to the 15.6 ms system tick, so
// a 20 ms timer fires about every 31 ms and loses pulses above about 16 Hz.
// A high-resolution waitable timer (Windows 10 1803 and later) keeps 20 ms
// without touching the system's timer resolution; on older Windows the
// timer is an ordinary one and timeBeginPeriod(1) gives it millisecond
// resolution for the program's lifetime.
//
// The timer resets itself when a wait takes its signal, and it stays signalled
// however many periods ran out meanwhile: periods missed while a handler ran
// give one tick, not a burst.  Its deadlines are the kernel's own, start +
// n × period, so a late tick does not push the later ones back.
#pragma once

#include <windows.h>

class PollTimer
{
public:
    PollTimer();
    ~PollTimer();
    PollTimer(const PollTimer &) = delete;
    PollTimer &operator=(const PollTimer &) = delete;

    // (Re)starts the period from now.
    void SetInterval(int milliseconds);
    int Interval() const { return interval_; }
    // What the message loop waits on; signalled once per elapsed period.
    HANDLE Handle() const { return timer_; }
    bool HighResolution() const { return highResolution_; }

private:
    HANDLE timer_ = nullptr;
    int interval_ = 0;
    bool highResolution_ = false;
    bool raisedResolution_ = false;
};
