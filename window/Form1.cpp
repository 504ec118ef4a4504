#include "Form1.h"

#include "PollTimer.h"
#include "TerminationSignals.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSessionManager>

#include <cstdio>
#include <limits>

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

} // namespace

Form1::Form1(counting::SerialLines &port, std::function<counting::TimeOfDay()> clock, std::string logPath)
    : logic_(*this, port, std::move(clock), std::move(logPath))
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

    Timer1 = new PollTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(counting::PollPeriodMs);

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
    //   manager) and SIGTERM, SIGHUP or SIGINT, which close the window;
    // - the application's quit: the end of the desktop session (the session
    //   manager's "die" after a logout that went through; a cancelled logout
    //   never gets here), or any other quit();
    // - the loss of the display (the X server or the Wayland compositor gone):
    //   DisplayLoss runs EndWithoutDisplay, the same end without the window,
    //   and ends the process with its status before Qt can.
    // The window never quits the program on its own: Qt's quit on the last
    // window's close would end the loop with status 0 after a failed log.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    connect(Command1, &QPushButton::clicked, this, &Form1::EndCounting);
    signals_ = new TerminationSignals(this);
    connect(signals_, &TerminationSignals::received, this, &QWidget::close);
    qApp->installEventFilter(this);
    // A loop ended by anyone else's QCoreApplication::exit() still logs.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &Form1::EndCounting);
    displayLoss_ = std::make_unique<DisplayLoss>([this] { return EndWithoutDisplay(); });
    // A session that restarts its programs at the next login must not start
    // a count on its own.
    connect(qApp, &QGuiApplication::saveStateRequest, this,
            [](QSessionManager &manager) { manager.setRestartHint(QSessionManager::RestartNever); });

    connect(Timer1, &PollTimer::timeout, this, [this] { logic_.Tick(); });
    // clicked(), not toggled(): choosing the marked button again reopens its port.
    connect(Option1, &QRadioButton::clicked, this, [this] { logic_.Option1Chosen(); });
    connect(Option2, &QRadioButton::clicked, this, [this] { logic_.Option2Chosen(); });

    Timer1->start();
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
        // A quit during the start-up's notices (the session's end) has run
        // the end already; the program's loop ends as soon as it starts.
        if (logic_.Ended())
            QMetaObject::invokeMethod(this, &Form1::EndCounting, Qt::QueuedConnection);
        // A signal that came during the start-up's notices ends the program now.
        signals_->setEnabled(true);
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

void Form1::EndCounting() { QCoreApplication::exit(logic_.End()); }

int Form1::EndWithoutDisplay()
{
    displayGone_ = true;
    // The end's own notice was open when the display went: it carried the line.
    if (logic_.Ended() && !noticeShown_.empty())
        std::fprintf(stderr, "%s\n", noticeShown_.c_str());
    const int status = logic_.End();
    return status == 0 ? DisplayLostStatus : status;
}

void Form1::SetText1(const std::string &text)
{
    if (displayGone_)
        return;
    Text1->setText(QString::fromStdString(text));
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

void Form1::SetTimer1Interval(int milliseconds) { Timer1->setInterval(milliseconds); }

void Form1::ShowNotice(const std::string &text)
{
    // With no display, the standard error output (the session's log) is the
    // only place left for a notice, and the line it may carry.
    if (displayGone_) {
        std::fprintf(stderr, "%s\n", text.c_str());
        return;
    }
    noticeShown_ = text;
    QMessageBox notice(QMessageBox::NoIcon, QStringLiteral("KAPIREL"), QString::fromStdString(text), QMessageBox::Ok,
                       this);
    notice.exec();
    noticeShown_.clear();
}
