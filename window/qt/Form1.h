// Form1: the program's one window.  It places its controls from the design
// values in twips, delivers its events to the counting logic and carries out
// the window operations the logic asks for.  It decides nothing itself.
//
// When the load runs: on the first show, inside setVisible(true), before
// QWidget::setVisible.  The start-up may show notices, and they must come
// while the window is not yet shown at all.  By showEvent Qt already counts
// the window as visible (isVisible() is true, a notice would be parented to a
// "shown" window), and the constructor is too early: a Form1 that is only
// created (a test of its layout, a screenshot) must not open any port.
//
// The poll runs on the counting thread (Timer1), never on the window's: the
// window gets the count text handed over and shows the latest one when its
// event loop comes to it, so a display that stalls costs no pulse.  The
// counting thread wakes the window through an eventfd, not a posted event:
// posting takes the window thread's event-queue mutex, which that thread
// holds whenever it collects its events.
#pragma once

#include "Counting.h"
#include "Design.h"
#include "DisplayLoss.h"
#include "HandedText.h"
#include "PollThread.h"
#include "TerminationSignals.h"

#include <QWidget>

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>

class QLineEdit;
class QPushButton;
class QRadioButton;

class Form1 : public QWidget, private counting::Form1Operations
{
    Q_OBJECT
public:
    explicit Form1(counting::SerialLines &port, std::function<counting::TimeOfDay()> clock = counting::LocalTimeOfDay,
                   std::string logPath = counting::MeasurementLogName);
    ~Form1() override;

    const counting::Logic &Logic() const { return logic_; }
    const counting::PollThread &Poll() const { return Timer1; }

    void setVisible(bool visible) override;

    // The exit status of an end forced by the loss of the display, when the
    // line was logged; a line that could not be logged keeps status 1.
    static constexpr int DisplayLostStatus = 2;

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void EndCounting();
    int EndWithoutDisplay();
    // The end that the counting thread ran (a signal): its notice, then the close.
    void TakeEndOver(const std::string &notice);
    void ShowHandedText();
    void ShowModal(const std::string &text);

    void SetText1(const std::string &text) override;
    void MarkOption1() override;
    void MarkOption2() override;
    void SetTimer1Interval(int milliseconds) override;
    void ShowNotice(const std::string &text) override;

    // A control of the design, placed and in its font.
    QWidget *CreateControl(const design::Control &row);
    void PlaceTwips(QWidget *control, const design::Twips &place) const;

    QLineEdit *Text1 = nullptr;
    QPushButton *Command1 = nullptr;
    QRadioButton *Option2 = nullptr;
    QRadioButton *Option1 = nullptr;
    bool loaded_ = false;
    // Once the display is gone, the window operations touch no widget; the
    // watch may set it on another thread.
    std::atomic<bool> displayGone_{false};

    HandedText handedText_;
    // Written by whoever hands a text over; it outlives the counting thread.
    struct EventFd
    {
        const int Fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        ~EventFd() { ::close(Fd); }
    } textHanded_;
    // The notice open on the window's thread, for the display's loss, which
    // another thread may see.
    struct
    {
        std::mutex Mutex;
        std::string Text;
    } noticeShown_;

    // Everything above outlives the counting thread, which stops first.
    counting::Logic logic_;
    counting::PollThread Timer1;
    counting::TerminationSignals terminationSignals_;
    std::unique_ptr<DisplayLoss> displayLoss_;
};
