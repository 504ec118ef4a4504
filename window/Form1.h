// Form1: the program's one window.  It places its controls from the design
// values in twips, delivers its events to the counting logic and carries out
// the window operations the logic asks for.  It decides nothing itself.
#pragma once

#include "Counting.h"

#include <QWidget>

class QLineEdit;
class QPushButton;
class QRadioButton;
class PollTimer;
class TerminationSignals;

class Form1 : public QWidget, private Form1Operations
{
    Q_OBJECT
public:
    explicit Form1(SerialLines lines, std::function<TimeOfDay()> clock = LocalTimeOfDay,
                   std::string logPath = MeasurementLogName);
    ~Form1() override;

    const Counting &Logic() const { return logic_; }

    // The first show delivers the load event before the window appears.
    void setVisible(bool visible) override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void SetText1(const std::string &text) override;
    void MarkOption1() override;
    void ShowOption2Marked() override;
    void SetTimer1Interval(int milliseconds) override;
    void ShowNotice(const std::string &text) override;

    void PlaceTwips(QWidget *control, int left, int top, int width, int height) const;

    QLineEdit *Text1 = nullptr;
    QPushButton *Command1 = nullptr;
    PollTimer *Timer1 = nullptr;
    QRadioButton *Option2 = nullptr;
    QRadioButton *Option1 = nullptr;
    TerminationSignals *signals_ = nullptr;
    Counting logic_;
    bool loaded_ = false;
};
