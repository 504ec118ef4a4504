// Form1 on Windows: the program's one window, on plain USER32.  Like the Qt
// window on Linux it places its controls from the design values in twips,
// delivers its events to the counting logic and carries out the window
// operations the logic asks for; it decides nothing itself.
//
// The load runs inside Create, after the window and its controls exist and
// while the window is still hidden, so the start-up's notices come before the
// window appears.
//
// The poll runs on the counting thread (Timer1): Windows' own modal loops (a
// menu, moving or sizing the window, a notice) never touch it, and the count
// text is handed over to the window's thread by a posted message.
#pragma once

#include "Counting.h"
#include "Design.h"
#include "HandedText.h"
#include "PollThread.h"

#include <array>
#include <windows.h>

class Form1 final : private counting::Form1Operations
{
public:
    Form1(HINSTANCE instance, counting::SerialLines &port,
          std::function<counting::TimeOfDay()> clock = counting::LocalTimeOfDay,
          std::string logPath = counting::MeasurementLogName);
    ~Form1();
    Form1(const Form1 &) = delete;
    Form1 &operator=(const Form1 &) = delete;

    // Creates the window and its controls, delivers the load and shows the
    // window.  False when Windows refused to create the window.
    bool Create(int showCommand);
    // The message loop, with Timer1's ticks; returns the exit status.
    int Run();

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK Command1Proc(HWND button, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK OptionProc(HWND button, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCreate();
    // The control at this position of the design, with the id FirstControlId + position.
    HWND CreateControl(std::size_t position);
    void OnCommand(int id, int code);
    void OnDpiChanged(UINT dpi, const RECT &suggested);
    void Layout(UINT dpi);
    void EndCounting();
    void ShowHandedText();

    void SetText1(const std::string &text) override;
    void MarkOption1() override;
    void MarkOption2() override;
    void SetTimer1Interval(int milliseconds) override;
    void ShowNotice(const std::string &text) override;

    HINSTANCE instance_;
    HWND window_ = nullptr;
    HWND Text1 = nullptr;
    HWND Command1 = nullptr;
    HWND Option2 = nullptr;
    HWND Option1 = nullptr;
    // Each control's font, in the design's order.
    std::array<HFONT, design::Controls.size()> fonts_{};
    WNDPROC buttonProc_ = nullptr;
    // Nonzero while an option button takes the focus: the BN_CLICKED that a
    // radio button sends on getting the focus is no choice.
    int focusArriving_ = 0;
    // The control that had the focus when the window was last deactivated.
    HWND focused_ = nullptr;
    bool destroying_ = false;
    HandedText handedText_;
    counting::Logic logic_;
    // Declared after logic_, so that it stops before the logic goes.
    counting::PollThread Timer1;
};
