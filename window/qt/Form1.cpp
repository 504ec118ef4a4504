#include "Form1.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSessionManager>
#include <QSocketNotifier>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

namespace {

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

QFont DesignFont(const design::FontSpec &spec)
{
    QFont font(QString::fromWCharArray(spec.Face));
    font.setPointSizeF(spec.Points);
    font.setWeight(QFont::Weight(design::FontWeight));
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
      Timer1(logic_,
             [this](const counting::EndResult &end) {
                 // The window may show the notice late, or never if its
                 // display does not answer; the session's log has it at once.
                 if (!end.Notice.empty())
                     ToStandardError(end.Notice);
                 QMetaObject::invokeMethod(
                     this, [this, notice = end.Notice] { TakeEndOver(notice); }, Qt::QueuedConnection);
             }),
      terminationSignals_(Timer1)
{
    if (textHanded_.Fd < 0) {
        // Without it the count would never show.
        std::perror("kapirel: eventfd");
        std::abort();
    }
    connect(new QSocketNotifier(textHanded_.Fd, QSocketNotifier::Read, this), &QSocketNotifier::activated, this,
            [this] {
                std::uint64_t handed = 0;
                [[maybe_unused]] const ssize_t taken = ::read(textHanded_.Fd, &handed, sizeof handed);
                ShowHandedText();
            });
    setObjectName(QLatin1String(design::Form1.Name));
    setWindowTitle(QString::fromWCharArray(design::Form1.Caption));
    setWindowIcon(QIcon(QStringLiteral(":/icons/kapirel.ico")));
    RegisterFontSubstitutes();
    setFont(DesignFont(design::Form1.Font));

    std::array<QWidget *, design::Controls.size()> controls{};
    for (std::size_t position = 0; position < controls.size(); ++position) {
        // Timer1, the counting thread, is a member; its place in the design's
        // order is where it gets its interval.
        if (position == design::Timer1.CreatedAfter)
            Timer1.SetInterval(design::Timer1.IntervalMs);
        controls.at(position) = CreateControl(design::Controls.at(position));
    }
    Text1 = qobject_cast<QLineEdit *>(controls[design::Text1]);
    Command1 = qobject_cast<QPushButton *>(controls[design::Command1]);
    Option2 = qobject_cast<QRadioButton *>(controls[design::Option2]);
    Option1 = qobject_cast<QRadioButton *>(controls[design::Option1]);
    for (std::size_t next = 1; next < design::TabOrder.size(); ++next)
        setTabOrder(controls.at(design::TabOrder.at(next - 1)), controls.at(design::TabOrder.at(next)));

    // The client area's size and place on the screen; setGeometry() places
    // the client area, where move() would place the frame.
    PlaceTwips(this, design::Form1.Place);

    // Every way out of the program goes through EndCounting, which runs the
    // end sequence once and ends the event loop with its status:
    // - Command1, clicked or pressed with Space: the window stays until the
    //   program is gone, so no close event follows;
    // - the window's close (close button, window menu, Alt+F4, the WM);
    // - SIGTERM, SIGHUP or SIGINT: the counting thread runs the end, and
    //   TakeEndOver shows its notice, if any, and closes the window;
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

QWidget *Form1::CreateControl(const design::Control &row)
{
    const QString caption = QString::fromWCharArray(row.Caption);
    QWidget *control = nullptr;
    switch (row.Kind) {
    case design::ControlKind::TextBox: {
        auto *edit = new QLineEdit(caption, this);
        edit->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        edit->setMaxLength(std::numeric_limits<int>::max());
        control = edit;
        break;
    }
    case design::ControlKind::PushButton: {
        auto *button = new QPushButton(caption, this);
        // Neither default nor cancel button: Enter and Esc must not end the count.
        button->setAutoDefault(false);
        button->setDefault(false);
        control = button;
        break;
    }
    case design::ControlKind::OptionButton:
        control = new QRadioButton(caption, this);
        break;
    case design::ControlKind::Form:
        return nullptr;
    }
    control->setObjectName(QLatin1String(row.Name));
    control->setFont(DesignFont(row.Font));
    PlaceTwips(control, row.Place);
    return control;
}

void Form1::PlaceTwips(QWidget *control, const design::Twips &place) const
{
    const int x = logicalDpiX();
    const int y = logicalDpiY();
    control->setGeometry(design::TwipsToPixels(place.Left, x), design::TwipsToPixels(place.Top, y),
                         design::TwipsToPixels(place.Width, x), design::TwipsToPixels(place.Height, y));
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
    const counting::EndResult end = logic_.End();
    ShowHandedText();
    if (!end.Notice.empty())
        ShowNotice(end.Notice);
    QCoreApplication::exit(end.Status);
}

void Form1::TakeEndOver(const std::string &notice)
{
    ShowHandedText();
    if (!notice.empty()) {
        // The operator may take any time over it; the counting thread's
        // deadline covers only a display that does not answer.  Already on
        // the standard error output.
        Timer1.EndTakenOver();
        ShowModal(notice);
    }
    // A window that never showed (an end during the start-up) gets no close event.
    if (isVisible())
        close();
    else
        EndCounting();
}

int Form1::EndWithoutDisplay()
{
    displayGone_ = true;
    {
        // The end's own notice was open when the display went: it carried
        // the line.  A start-up's notice open then says nothing that counts.
        const std::lock_guard lock(noticeShown_.Mutex);
        if (!noticeShown_.Text.empty() && logic_.Ended())
            ToStandardError(noticeShown_.Text);
    }
    const counting::EndResult end = logic_.End();
    if (!end.Notice.empty())
        ToStandardError(end.Notice);
    return end.Status == 0 ? DisplayLostStatus : end.Status;
}

// Called on either thread; the text reaches the widget on the window's
// thread only.
void Form1::SetText1(const std::string &text)
{
    if (handedText_.Hand(text)) {
        const std::uint64_t one = 1;
        // When the counter cannot take more, a wake-up is pending anyway.
        [[maybe_unused]] const ssize_t written = ::write(textHanded_.Fd, &one, sizeof one);
    }
}

void Form1::ShowHandedText()
{
    const std::optional<std::string> text = handedText_.Take();
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
    // only place left for a notice.
    if (displayGone_) {
        ToStandardError(text);
        return;
    }
    {
        const std::lock_guard lock(noticeShown_.Mutex);
        noticeShown_.Text = text;
    }
    ShowModal(text);
    const std::lock_guard lock(noticeShown_.Mutex);
    noticeShown_.Text.clear();
}

void Form1::ShowModal(const std::string &text)
{
    QMessageBox notice(QMessageBox::NoIcon, QStringLiteral("KAPIREL"), QString::fromStdString(text), QMessageBox::Ok,
                       this);
    notice.exec();
}
