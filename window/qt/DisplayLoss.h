// The end of the program when the connection to the display breaks.
//
// Qt's platform plugins end the process themselves when that connection
// breaks, and nothing of the program runs after it: Qt 6.4's xcb plugin calls
// exit(1), its Wayland plugin _exit(1), which skips even the atexit
// handlers.  The one thing each does first is a warning ("The X11 connection
// broke …", "The Wayland connection broke …" or "… experienced a fatal
// error …"), passed synchronously to the installed message handler on the
// thread that is about to end the process.  So the watch hooks in there.
//
// The end runs on the thread that saw the loss: xcb's is the main thread,
// the Wayland plugin's the main thread or its frame-event thread.  The
// counting logic takes its end from any thread.
#pragma once

#include <array>
#include <functional>
#include <string_view>

class DisplayLoss
{
public:
    // From now on a broken display connection calls `end` and ends the
    // process with the status it returns.  One watch at a time.
    explicit DisplayLoss(std::function<int()> end);
    ~DisplayLoss();

    DisplayLoss(const DisplayLoss &) = delete;
    DisplayLoss &operator=(const DisplayLoss &) = delete;

    [[noreturn]] void End();

    // How the plugins' last words begin; tst_display_loss finds each in the
    // installed Qt, so that a rewording cannot switch the watch off unseen.
    static constexpr std::array<std::string_view, 3> LastWords{
        "The X11 connection broke", "The Wayland connection broke", "The Wayland connection experienced a fatal error"};

private:
    std::function<int()> end_;
};
