#include "Form1.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSessionManager>
#include <QThread>

#include <cstdio>
#include <limits>
#include <utility>

namespace {

constexpr int TwipsPerInch = 1440;

int TwipsToPixels(int twips, int dotsPerInch) { return (twips * dotsPerInch + TwipsPerInch / 2) / TwipsPerInch; }

// Where the Windows fonts are missing, take faces that carry the Czech
// letters; Liberation Sans has Arial's metrics.
void RegisterFontSubstitutes()
{
    QFont::insertSubstitutions(QStringLiteral("Arial"), {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                                         QStringLiteral("DejaVu Sans")});
    QFont::insertSubstitutions(
        QStringLiteral("MS Sans Serif"),
        {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
}

QFont DesignFont(const QString &family, qreal points)
{
    QFont font(family);
    font.setPointSizeF(points);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

// Where a notice goes that no window can show: the session's log keeps it.
// A line that stderr does not take has nowhere else to go.
void ToStandardError(const std::string &text) { (void)std::fputs((text + "\n").c_str(), stderr); }

} // namespace

Form1::Form1(counting::SerialLines &port, std::function<counting::TimeOfDay()> clock, std::string logPath)
    : logic_(*this, port, std::move(clock), std::move(logPath)),
      Timer1(logic_, [this](int) { QMetaObject::invokeMethod(this, &Form1::TakeEndOver, Qt::QueuedConnection); }),
      terminationSignals_(Timer1)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Orvik KAPIREL "));
    setWindowIcon(QIcon(QStringLiteral(":/icons/kapirel.ico")));
    RegisterFontSubstitutes();
    setFont(DesignFont(QStringLiteral("Arial"), 26.25));

    // Created in the design order; the tab order is set below.
    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setFont(DesignFont(QStringLiteral("Arial"), 27.75));
    Text1->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Text1->setMaxLength(std::numeric_limits<int>::max());
    PlaceTwips(Text1, 1440, 480, 3735, 1695);

    Command1 = new QPushButton(QStringLiteral("ukončení čítání"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setFont(DesignFont(QStringLiteral("Arial"), 9.75));
    // Neither default nor cancel button: Enter and Esc must not end the count.
    Command1->setAutoDefault(false);
    Command1->setDefault(false);
    PlaceTwips(Command1, 2280, 3240, 1935, 615);

    // Timer1 comes here in the design order: the counting thread, a member.
    Timer1.SetInterval(counting::PollPeriodMs);

    Option2 = new QRadioButton(QStringLiteral("COM2"), this);
    Option2->setObjectName(QStringLiteral("Option2"));
    Option2->setFont(DesignFont(QStringLiteral("MS Sans Serif"), 8.25));
    PlaceTwips(Option2, 5400, 4080, 855, 495);

    Option1 = new QRadioButton(QStringLiteral("COM1"), this);
    Option1->setObjectName(QStringLiteral("Option1"));
    Option1->setFont(DesignFont(QStringLiteral("MS Sans Serif"), 8.25));
    PlaceTwips(Option1, 240, 4080, 975, 495);

    setTabOrder(Option1, Option2);
    setTabOrder(Option2, Command1);
    setTabOrder(Command1, Text1);

    // The client area's size and place on the screen; setGeometry() places
    // the client area, where move() would place the frame.
    PlaceTwips(this, 2760, 2190, 6555, 4725);

    // Every way out of the program goes through EndCounting, which runs the
    // end sequence once and ends the event loop with its status:
    // - Command1, clicked or pressed with Space: the window stays until the
    //   program is gone, so no close event follows;
    // - the window's close (close button, window menu, Alt+F4, the window
    //   manager);
    // - SIGTERM, SIGHUP or SIGINT: the counting thread runs the end, whatever
    //   the window is doing, and TakeEndOver then closes the window;
    // - the application's quit: the end of the desktop session (the session
    //   manager's "die" after a logout that went through; a cancelled logout
    //   never gets here), or any other quit();
    // - the loss of the display (the X server or the Wayland compositor gone):
    //   DisplayLoss runs EndWithoutDisplay, the same end without the window,
    //   on the thread that saw the loss, and ends the process with its
    //   status before Qt can.
    // The window never quits the program on its own: Qt's quit on the last
    // window's close would end the loop with status 0 after a failed log.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    connect(Command1, &QPushButton::clicked, this, &Form1::EndCounting);
    qApp->installEventFilter(this);
    // A loop ended by anyone else's QCoreApplication::exit() still logs.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &Form1::EndCounting);
    displayLoss_ = std::make_unique<DisplayLoss>([this] { return EndWithoutDisplay(); });
    // A session that restarts its programs at the next login must not start
    // a count on its own.
    connect(qApp, &QGuiApplication::saveStateRequest, this,
            [](QSessionManager &manager) { manager.setRestartHint(QSessionManager::RestartNever); });

    // clicked(), not toggled(): choosing the marked button again reopens its port.
    connect(Option1, &QRadioButton::clicked, this, [this] { logic_.Option1Chosen(); });
    connect(Option2, &QRadioButton::clicked, this, [this] { logic_.Option2Chosen(); });
}

Form1::~Form1() = default;

void Form1::PlaceTwips(QWidget *control, int left, int top, int width, int height) const
{
    const int x = logicalDpiX();
    const int y = logicalDpiY();
    control->setGeometry(TwipsToPixels(left, x), TwipsToPixels(top, y), TwipsToPixels(width, x),
                         TwipsToPixels(height, y));
}

void Form1::setVisible(bool visible)
{
    const bool firstShow = visible && !loaded_;
    if (firstShow) {
        loaded_ = true;
        logic_.Load();
        // An end before or during the start-up's notices (a signal, the
        // session's end) has run already: the window never shows, and the
        // program's loop ends as soon as it starts.
        if (logic_.Ended()) {
            QMetaObject::invokeMethod(this, &Form1::EndCounting, Qt::QueuedConnection);
            return;
        }
    }
    QWidget::setVisible(visible);
    if (firstShow)
        Option1->setFocus(Qt::OtherFocusReason);
}

void Form1::closeEvent(QCloseEvent *event)
{
    EndCounting();
    event->accept();
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    // Qt answers a quit by closing the windows, and then ends the loop with
    // status 0 whatever the close set; the end takes the quit over instead.
    if (watched == qApp && event->type() == QEvent::Quit) {
        EndCounting();
        event->accept();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::EndCounting()
{
    const int status = logic_.End();
    ShowHandedText();
    QCoreApplication::exit(status);
}

void Form1::TakeEndOver()
{
    Timer1.EndTakenOver();
    std::optional<std::string> notice;
    {
        const std::lock_guard lock(handOver_);
        notice = std::exchange(endNotice_, std::nullopt);
    }
    ShowHandedText();
    if (notice)
        ShowModal(*notice);
    // A window that never showed (an end during the start-up) gets no close event.
    if (isVisible())
        close();
    else
        EndCounting();
}

int Form1::EndWithoutDisplay()
{
    displayGone_ = true;
    // Asked before handOver_ is taken: the logic takes handOver_ inside its
    // own lock (SetText1), never the other way round.
    const bool ended = logic_.Ended();
    {
        // The end's own notice was open when the display went: it carried the line.
        const std::lock_guard lock(handOver_);
        if (ended && !noticeShown_.empty())
            ToStandardError(noticeShown_);
    }
    const int status = logic_.End();
    return status == 0 ? DisplayLostStatus : status;
}

// The latest text wins: a display that lags behind shows the newest count
// when it catches up, never a backlog.  Called on either thread; the text
// reaches the widget on the window's thread only.
void Form1::SetText1(const std::string &text)
{
    bool queued = false;
    {
        const std::lock_guard lock(handOver_);
        queued = handedText_.has_value();
        handedText_ = text;
    }
    if (!queued)
        QMetaObject::invokeMethod(this, &Form1::ShowHandedText, Qt::QueuedConnection);
}

void Form1::ShowHandedText()
{
    std::optional<std::string> text;
    {
        const std::lock_guard lock(handOver_);
        text = std::exchange(handedText_, std::nullopt);
    }
    if (!text || displayGone_)
        return;
    Text1->setText(QString::fromStdString(*text));
    // setText leaves the cursor at the end, which scrolls a long line so that
    // its end shows; the line is read from its beginning.
    Text1->setCursorPosition(0);
}

void Form1::MarkOption1()
{
    if (!displayGone_)
        Option1->setChecked(true);
}

void Form1::MarkOption2()
{
    if (!displayGone_)
        Option2->setChecked(true);
}

void Form1::SetTimer1Interval(int milliseconds) { Timer1.SetInterval(milliseconds); }

void Form1::ShowNotice(const std::string &text)
{
    // With no display, the standard error output (the session's log) is the
    // only place left for a notice, and the line it may carry.  The end's
    // notice from the counting thread goes there at once as well: the
    // window may show it late, or never if its display does not answer.
    const bool handedOver = QThread::currentThread() != thread();
    if (displayGone_ || handedOver)
        ToStandardError(text);
    if (displayGone_)
        return;
    if (handedOver) {
        const std::lock_guard lock(handOver_);
        endNotice_ = text;
        return;
    }
    {
        const std::lock_guard lock(handOver_);
        noticeShown_ = text;
    }
    ShowModal(text);
    const std::lock_guard lock(handOver_);
    noticeShown_.clear();
}

void Form1::ShowModal(const std::string &text)
{
    QMessageBox notice(QMessageBox::NoIcon, QStringLiteral("KAPIREL"), QString::fromStdString(text), QMessageBox::Ok,
                       this);
    notice.exec();
}
