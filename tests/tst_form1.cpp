// The window Form1 driven through its widgets, with FakeSerial in place of
// the port, a fixed clock and the log in a temporary directory.  The real
// ports of the machine are never opened here.
#include "FakeSerial.h"
#include "TestFiles.h"
#include "qt/Form1.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFontInfo>
#include <QFontMetrics>
#include <QKeySequence>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <memory>

namespace {

const QString EndOfZeroCount = QStringLiteral(" konec nacitani : 12:34:56  pocet pulsu = 0");
const QStringList LinesOff{"SetDtr 0", "SetRts 0", "SetBreak 0", "ClosePort"};

// The serial calls, on whichever thread, without the reads of CTS, which the
// polls add at any time.
QStringList Actions(const FakeSerial &fake)
{
    QStringList actions;
    for (std::string call : fake.CallsSoFar()) {
        if (call.ends_with(" @poll"))
            call.resize(call.size() - 6);
        if (call != "ReadCts")
            actions << QString::fromStdString(call);
    }
    return actions;
}

counting::TimeOfDay FixedClock() { return {12, 34, 56}; }

// What a notice showed while it was open.
struct Notice
{
    QString Text;
    bool Plain; // Form1's notice: titled KAPIREL, modal, no icon, an OK button alone
    bool FormVisible;
    QStringList Actions;
};

// One window with its fake port and log.  Notices are answered as the
// operator would, by pressing OK, and what they showed is kept.
struct Rig
{
    FakeSerial Fake;
    QTemporaryDir Dir;
    QString LogPath;
    std::unique_ptr<Form1> Form;
    QList<Notice> Notices;
    QTimer NoticeWatch;

    explicit Rig(bool logIntoDirectory = false)
        : LogPath(logIntoDirectory ? Dir.path() : Dir.filePath(QStringLiteral("NAMERENO.TXT")))
    {
        QObject::connect(&NoticeWatch, &QTimer::timeout, [this] { AnswerNotice(); });
        NoticeWatch.start(10);
    }

    Form1 *Create()
    {
        Form = std::make_unique<Form1>(Fake, FixedClock, LogPath.toStdString());
        return Form.get();
    }

    // Creates and shows the window; false when it never became active.
    bool Show()
    {
        Create()->show();
        return QTest::qWaitForWindowActive(Form.get());
    }

    auto *Text1() const { return Form->findChild<QLineEdit *>(QStringLiteral("Text1")); }
    auto *Command1() const { return Form->findChild<QPushButton *>(QStringLiteral("Command1")); }
    auto *Option1() const { return Form->findChild<QRadioButton *>(QStringLiteral("Option1")); }
    auto *Option2() const { return Form->findChild<QRadioButton *>(QStringLiteral("Option2")); }

    // The log's lines, each of which must have ended with CR LF.
    QStringList LogLines() const
    {
        QStringList lines = QString::fromLatin1(ReadFile(LogPath)).split(QStringLiteral("\r\n"));
        if (lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

    // The last serial calls, which end the counting: the lines off, the port released.
    QStringList LastActions() const { return Actions(Fake).mid(Actions(Fake).size() - LinesOff.size()); }

    bool WaitForPolls(qsizetype count)
    {
        const auto polls = [this] {
            const std::vector<std::string> calls = Fake.CallsSoFar();
            return std::count(calls.begin(), calls.end(), "ReadCts @poll");
        };
        const qsizetype target = polls() + count;
        return QTest::qWaitFor([&] { return polls() >= target; }, 2000);
    }

    void AnswerNotice()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible())
            return;
        const bool plain = box->windowTitle() == QLatin1String("KAPIREL") && box->icon() == QMessageBox::NoIcon &&
                           box->buttons().size() == 1 && box->windowModality() == Qt::ApplicationModal;
        Notices.append({box->text(), plain, Form != nullptr && Form->isVisible(), Actions(Fake)});
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
    }
};

// The next widget Tab moves to; the window itself takes no focus.
QWidget *NextTabStop(QWidget *widget)
{
    do
        widget = widget->nextInFocusChain();
    while (!(widget->focusPolicy() & Qt::TabFocus));
    return widget;
}

// A place of the design in pixels at the window's DPI: 96, or 144 in the run
// that sets QT_FONT_DPI (without Qt's high-DPI scaling, which would keep the
// widgets at 96 and scale them).  Halves round up: 6555 twips are 655.5
// pixels at 144 DPI.
QRect InPixels(const QWidget *form, const design::Twips &place)
{
    const int dpi = form->logicalDpiX();
    const int asked = qEnvironmentVariableIsSet("QT_FONT_DPI") ? qEnvironmentVariableIntValue("QT_FONT_DPI") : 96;
    if (form->logicalDpiY() != dpi || dpi != asked) {
        qWarning("the window is at %d x %d DPI, not at %d", dpi, form->logicalDpiY(), asked);
        return {};
    }
    const auto pixels = [dpi](int twips) { return (twips * dpi + 720) / 1440; };
    return {pixels(place.Left), pixels(place.Top), pixels(place.Width), pixels(place.Height)};
}

QString Caption(const design::Control &row) { return QString::fromWCharArray(row.Caption); }

} // namespace

class TestForm1 : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        // Form1 ends with QCoreApplication::exit(); outside a running exec()
        // that leaves the thread's quit flag set, and every later
        // QEventLoop::exec (a notice's among them) would return at once.
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec();
    }

    // The design's one table, against the design's values.
    void designTable()
    {
        using design::ControlKind;
        QCOMPARE(design::FontWeight, 400);
        QCOMPARE(design::FontCharset, 238);

        struct Expected
        {
            const char *Name;
            ControlKind Kind;
            QString Caption;
            QRect Place;
            const char *Face;
            double Points;
            int TabIndex;
        };
        // "ukončení čítání", by code point whatever the source's encoding.
        const QString stop = QString::fromUtf16(u"ukon\u010Den\u00ED \u010D\u00EDt\u00E1n\u00ED");
        // The form, then its controls in the order of creation.
        const QList<Expected> controls{
            {"Form1", ControlKind::Form, "Orvik KAPIREL ", {2760, 2190, 6555, 4725}, "Arial", 26.25, design::NoTabStop},
            {"Text1", ControlKind::TextBox, QString(), {1440, 480, 3735, 1695}, "Arial", 27.75, 3},
            {"Command1", ControlKind::PushButton, stop, {2280, 3240, 1935, 615}, "Arial", 9.75, 2},
            {"Option2", ControlKind::OptionButton, "COM2", {5400, 4080, 855, 495}, "MS Sans Serif", 8.25, 1},
            {"Option1", ControlKind::OptionButton, "COM1", {240, 4080, 975, 495}, "MS Sans Serif", 8.25, 0},
        };
        QCOMPARE(qsizetype(design::Controls.size()) + 1, controls.size());
        for (qsizetype i = 0; i < controls.size(); ++i) {
            const design::Control &row = i == 0 ? design::Form1 : design::Controls.at(std::size_t(i - 1));
            const Expected &want = controls[i];
            QCOMPARE(QLatin1String(row.Name), QLatin1String(want.Name));
            QVERIFY2(row.Kind == want.Kind, want.Name);
            QCOMPARE(Caption(row), want.Caption);
            QCOMPARE(QRect(row.Place.Left, row.Place.Top, row.Place.Width, row.Place.Height), want.Place);
            QCOMPARE(QString::fromWCharArray(row.Font.Face), QLatin1String(want.Face));
            QCOMPARE(row.Font.Points, want.Points);
            QCOMPARE(row.TabIndex, want.TabIndex);
        }
        QCOMPARE(QLatin1String(design::Timer1.Name), QLatin1String("Timer1"));
        QCOMPARE(design::Timer1.IntervalMs, 20);
        QCOMPARE(QLatin1String(design::Controls.at(design::Timer1.CreatedAfter - 1).Name), QLatin1String("Command1"));
        QStringList tabOrder;
        for (const design::Position position : design::TabOrder)
            tabOrder << QLatin1String(design::Controls.at(position).Name);
        QCOMPARE(tabOrder, (QStringList{"Option1", "Option2", "Command1", "Text1"}));
    }

    void captionAndClientArea()
    {
        Rig rig;
        Form1 *form = rig.Create();
        QCOMPARE(form->windowTitle(), Caption(design::Form1));
        QVERIFY(QFile::exists(QStringLiteral(":/icons/kapirel.ico")));
        QVERIFY(!form->windowIcon().pixmap(32).isNull());
        QCOMPARE(form->font().family(), QString::fromWCharArray(design::Form1.Font.Face));
        QCOMPARE(form->font().pointSizeF(), design::Form1.Font.Points);

        const QRect expected = InPixels(form, design::Form1.Place);
        QCOMPARE(form->geometry(), expected);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form));
        QCOMPARE(form->geometry(), expected);

        // The controls stay where they are when the window grows or shrinks.
        const QList<QWidget *> controls{rig.Text1(), rig.Command1(), rig.Option2(), rig.Option1()};
        QList<QRect> placed;
        for (QWidget *control : controls)
            placed << control->geometry();
        for (const QSize size : {QSize(700, 520), QSize(200, 120)}) {
            form->resize(size);
            QTRY_COMPARE(form->size(), size);
            for (qsizetype i = 0; i < controls.size(); ++i)
                QCOMPARE(controls[i]->geometry(), placed[i]);
        }
    }

    void controlLayout_data()
    {
        QTest::addColumn<int>("position");
        for (std::size_t position = 0; position < design::Controls.size(); ++position)
            QTest::newRow(design::Controls.at(position).Name) << int(position);
    }

    void controlLayout()
    {
        QFETCH(int, position);
        const design::Control &row = design::Controls.at(std::size_t(position));

        Rig rig;
        Form1 *form = rig.Create();
        auto *control = form->findChild<QWidget *>(QLatin1String(row.Name));
        QVERIFY(control != nullptr);
        QCOMPARE(control->parentWidget(), form);
        QCOMPARE(control->geometry(), InPixels(form, row.Place));

        const QFont font = control->font();
        const QString family = QString::fromWCharArray(row.Font.Face);
        QCOMPARE(font.family(), family);
        QCOMPARE(font.pointSizeF(), row.Font.Points);
        QCOMPARE(int(font.weight()), 400);
        QVERIFY(!font.italic() && !font.underline() && !font.strikeOut());
        // Where the Windows face is missing, its stand-in must carry Czech letters.
        const QString resolved = QFontInfo(font).family();
        const QStringList faces{family, "Liberation Sans", "Arimo", "DejaVu Sans", "Microsoft Sans Serif"};
        QVERIFY2(faces.contains(resolved), qPrintable(resolved));
        for (const char16_t letter : {u'č', u'í', u'á', u'ž', u'ř'})
            QVERIFY2(QFontMetrics(font).inFont(QChar(letter)), qPrintable(resolved));

        const QString text = Caption(row);
        if (auto *button = qobject_cast<QAbstractButton *>(control)) {
            QCOMPARE(button->text(), text);
            QVERIFY(!button->text().contains(u'&'));
            QVERIFY(QKeySequence::mnemonic(button->text()).isEmpty());
        } else {
            QCOMPARE(qobject_cast<QLineEdit *>(control)->text(), text);
        }
    }

    void controlsAtCreation()
    {
        Rig rig;
        Form1 *form = rig.Create();
        QLineEdit *text1 = rig.Text1();
        QVERIFY(text1->text().isEmpty());
        QVERIFY((text1->alignment() & Qt::AlignHorizontal_Mask) == Qt::AlignLeft);
        QVERIFY(!text1->isReadOnly() && text1->isEnabled());
        QCOMPARE(text1->echoMode(), QLineEdit::Normal);

        QPushButton *command1 = rig.Command1();
        QVERIFY(!command1->isDefault());
        QVERIFY(!command1->autoDefault());

        for (QRadioButton *option : {rig.Option1(), rig.Option2()})
            QVERIFY(option->autoExclusive() && !option->isChecked());
        // Created in the design's order, all of them children of the window.
        QStringList created;
        for (const QWidget *control : form->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            created << control->objectName();
        QCOMPARE(created, (QStringList{"Text1", "Command1", "Option2", "Option1"}));
        QCOMPARE(NextTabStop(rig.Option1()), rig.Option2());
        QCOMPARE(NextTabStop(rig.Option2()), rig.Command1());
        QCOMPARE(NextTabStop(command1), text1);
        QCOMPARE(NextTabStop(text1), rig.Option1());

        // Timer1 runs from the window's creation; it polls only after the load.
        QCOMPARE(form->Poll().Interval(), 20);
        QTest::qWait(50);
        QVERIFY(rig.Fake.CallsSoFar().empty());
    }

    void startUp_data()
    {
        QTest::addColumn<bool>("com1Opens");
        QTest::addColumn<bool>("com2Opens");
        QTest::addColumn<QString>("marked");
        QTest::addColumn<QStringList>("notices");

        QTest::newRow("both ports") << true << true << "Option2" << QStringList();
        QTest::newRow("COM2 only") << false << true << "Option2" << QStringList();
        QTest::newRow("COM1 only") << true << false << "Option1" << QStringList();
        QTest::newRow("no port") << false << false << "Option1" << QStringList{"COM1 OBSAZEN", "COM NENALEZEN"};
    }

    void startUp()
    {
        QFETCH(bool, com1Opens);
        QFETCH(bool, com2Opens);
        QFETCH(QString, marked);
        QFETCH(QStringList, notices);

        Rig rig;
        rig.Fake.Opens = {{"COM1", com1Opens}, {"COM2", com2Opens}};
        QVERIFY(rig.Show());

        QStringList shown;
        for (const Notice &notice : std::as_const(rig.Notices)) {
            shown << notice.Text;
            QVERIFY2(notice.Plain, qPrintable(notice.Text));
            QVERIFY(!notice.FormVisible);
        }
        QCOMPARE(shown, notices);
        QCOMPARE(rig.Option1()->isChecked(), marked == QLatin1String("Option1"));
        QCOMPARE(rig.Option2()->isChecked(), marked == QLatin1String("Option2"));
        QVERIFY(rig.Text1()->text().isEmpty());
        const QStringList actions = Actions(rig.Fake);
        QCOMPARE(actions.contains(QStringLiteral("OpenPort COM1")), com2Opens == false);
        // The contact is powered last: BREAK off, DTR on, RTS off.
        QCOMPARE(actions.mid(actions.size() - 3), (QStringList{"SetBreak 0", "SetDtr 1", "SetRts 0"}));

        // Focus starts on Option1, leaves and comes back (Tab, Shift+Tab) and goes
        // round (Tab to Command1, Text1, Option1) without marking or switching.
        QCOMPARE(QApplication::focusWidget(), rig.Option1());
        QTest::keyClick(rig.Option1(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), rig.Command1());
        QTest::keyClick(rig.Command1(), Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), rig.Option1());
        for (QWidget *next : QList<QWidget *>{rig.Command1(), rig.Text1(), rig.Option1()}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
        QTest::qWait(50);
        QCOMPARE(rig.Option1()->isChecked(), marked == QLatin1String("Option1"));
        QCOMPARE(rig.Option2()->isChecked(), marked == QLatin1String("Option2"));
        QCOMPARE(Actions(rig.Fake), actions);
    }

    void optionChoice_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<bool>("opens");

        QTest::newRow("Option1") << "Option1" << true;
        QTest::newRow("Option2") << "Option2" << true;
        QTest::newRow("Option1, COM1 busy") << "Option1" << false;
    }

    void optionChoice()
    {
        QFETCH(QString, chosen);
        QFETCH(bool, opens);
        const QString port = QStringLiteral("COM") + chosen.back();

        Rig rig;
        QVERIFY(rig.Show());
        Form1 *form = rig.Form.get();
        rig.Fake.Opens[port.toStdString()] = opens;
        auto *option = form->findChild<QRadioButton *>(chosen);
        QRadioButton *other = option == rig.Option1() ? rig.Option2() : rig.Option1();

        // Choosing the button already marked switches once more.
        for (int choice = 1; choice <= 2; ++choice) {
            const qsizetype from = Actions(rig.Fake).size();
            QTest::mouseClick(option, Qt::LeftButton);
            QVERIFY(option->isChecked());
            QVERIFY(!other->isChecked());
            QCOMPARE(Actions(rig.Fake).mid(from),
                     (QStringList{"ClosePort", "OpenPort " + port, "SetBreak 0", "SetDtr 1", "SetRts 0"}));
            QCOMPARE(rig.Notices.size(), opens ? 0 : choice);
        }
        for (const Notice &notice : std::as_const(rig.Notices)) {
            QCOMPARE(notice.Text, port + " OBSAZEN");
            QVERIFY(notice.Plain);
        }
    }

    void pulsesAreCounted()
    {
        Rig rig;
        QVERIFY(rig.Show());
        Form1 *form = rig.Form.get();
        QLineEdit *text1 = rig.Text1();
        QVERIFY(rig.WaitForPolls(3));
        QVERIFY(text1->text().isEmpty());

        // The counting thread only hands the text over: the widget changes
        // when the window's thread gets to it, not before.
        rig.Fake.SetCts("COM2", 1);
        for (QDeadlineTimer busy(1000); form->Logic().State().PulseCount == 0 && !busy.hasExpired();)
            QThread::msleep(1);
        QVERIFY(text1->text().isEmpty());
        QTRY_COMPARE(text1->text(), QStringLiteral(" 1"));
        QVERIFY(rig.WaitForPolls(3)); // CTS staying on is no further pulse
        QCOMPARE(text1->text(), QStringLiteral(" 1"));

        // What the operator types is replaced by the next count and never logged.
        text1->setFocus();
        QTest::keyClicks(text1, QStringLiteral("abc"));
        QVERIFY(text1->text().contains(QStringLiteral("abc")));
        rig.Fake.SetCts("COM2", 0);
        QVERIFY(rig.WaitForPolls(2));
        rig.Fake.SetCts("COM2", 1);
        QTRY_COMPARE(text1->text(), QStringLiteral(" 2"));
        QCOMPARE(form->Logic().State().PulseCount, 2);

        // A signal ends the counting even while the window's thread is stuck (a
        // display held by another client): the line is logged and the lines are
        // off before the window's thread comes back, and then the window closes.
        const QString line = QStringLiteral(" konec nacitani : 12:34:56  pocet pulsu = 2");
        ::raise(SIGTERM);
        // The port's release is the end's last step.
        for (QDeadlineTimer stuck(1000);
             !Actions(rig.Fake).endsWith(QStringLiteral("ClosePort")) && !stuck.hasExpired();)
            QThread::msleep(5);
        QCOMPARE(rig.LastActions(), LinesOff);
        QCOMPARE(rig.LogLines(), QStringList{line});
        QVERIFY(form->isVisible());

        QTRY_VERIFY(!form->isVisible());
        QCOMPARE(text1->text(), line);
        QCOMPARE(rig.LogLines(), QStringList{line});
    }

    void ending_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("windowCloses");
        QTest::addColumn<bool>("logFails");

        QTest::newRow("Command1 clicked") << "click" << false << false;
        QTest::newRow("Command1 clicked, then close") << "click+close" << true << false;
        QTest::newRow("Space on Command1") << "space" << false << false;
        QTest::newRow("close") << "close" << true << false;
        QTest::newRow("SIGTERM") << "SIGTERM" << true << false;
        QTest::newRow("SIGHUP") << "SIGHUP" << true << false;
        QTest::newRow("SIGINT") << "SIGINT" << true << false;
        // Its poll() is interrupted, which is no failure.
        QTest::newRow("SIGTERM to the counting thread") << "tgkill" << true << false;
        QTest::newRow("SIGTERM during start-up") << "early SIGTERM" << true << false;
        // The session's end (the session manager's "die") reaches the program
        // as the application's quit; it must end with the end's own status.
        QTest::newRow("quit") << "quit" << false << false;
        QTest::newRow("log fails, Command1 clicked") << "click" << false << true;
        QTest::newRow("log fails, close") << "close" << true << true;
        QTest::newRow("log fails, SIGTERM") << "SIGTERM" << true << true;
        QTest::newRow("log fails, quit") << "quit" << false << true;
    }

    void ending()
    {
        QFETCH(QString, how);
        QFETCH(bool, windowCloses);
        QFETCH(bool, logFails);

        Rig rig(logFails);
        Form1 *form = rig.Create();
        const bool early = how == QLatin1String("early SIGTERM");
        if (early)
            ::raise(SIGTERM);
        form->show();
        if (!early) {
            QVERIFY(QTest::qWaitForWindowExposed(form));
            QVERIFY(!form->Logic().Ended());
        }

        if (how.startsWith(QLatin1String("click"))) {
            QTest::mouseClick(rig.Command1(), Qt::LeftButton);
            QVERIFY(form->Logic().Ended());
            if (how.endsWith(QLatin1String("close")))
                form->close();
        } else if (how == QLatin1String("space")) {
            // Return, Enter and Esc, on Command1 or the window, neither click nor end.
            QPushButton *command1 = rig.Command1();
            command1->setFocus();
            QTRY_COMPARE(QApplication::focusWidget(), command1);
            QSignalSpy clicks(command1, &QPushButton::clicked);
            const QStringList before = Actions(rig.Fake);
            for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
                QTest::keyClick(command1, key);
                QTest::keyClick(form, key);
            }
            QTest::qWait(50);
            QCOMPARE(clicks.size(), 0);
            QVERIFY(!form->Logic().Ended());
            QVERIFY(!QFile::exists(rig.LogPath));
            QCOMPARE(Actions(rig.Fake), before);
            QTest::keyClick(command1, Qt::Key_Space);
            QCOMPARE(clicks.size(), 1);
        } else if (how == QLatin1String("close")) {
            form->close();
        } else if (how == QLatin1String("tgkill")) {
            QTRY_VERIFY(rig.Fake.PollThreadId != 0);
            QCOMPARE(::tgkill(::getpid(), rig.Fake.PollThreadId, SIGTERM), 0);
        } else if (how == QLatin1String("quit")) {
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
            QCOMPARE(QCoreApplication::exec(), logFails ? 1 : 0);
        } else if (!early) {
            ::raise(how == QLatin1String("SIGTERM") ? SIGTERM : how == QLatin1String("SIGHUP") ? SIGHUP : SIGINT);
        }
        QTRY_VERIFY(form->Logic().Ended());
        QTRY_COMPARE(!form->isVisible(), windowCloses);
        QTest::qWait(50); // a second ending would show up here

        QCOMPARE(rig.Text1()->text(), EndOfZeroCount);
        QCOMPARE(rig.Text1()->cursorPosition(), 0);
        QCOMPARE(rig.LastActions(), LinesOff);
        QCOMPARE(Actions(rig.Fake).count(QStringLiteral("ClosePort")), 1);
        QVERIFY(rig.Fake.Open.empty());

        if (!logFails) {
            QVERIFY(rig.Notices.isEmpty());
            QCOMPARE(rig.LogLines(), QStringList{EndOfZeroCount});
            return;
        }
        QCOMPARE(rig.Notices.size(), 1);
        const Notice &notice = rig.Notices[0];
        QVERIFY2(notice.Text.startsWith(QStringLiteral("MERENI NEBYLO ZAPSANO DO NAMERENO.TXT")),
                 qPrintable(notice.Text));
        QVERIFY(notice.Text.contains(EndOfZeroCount));
        QVERIFY(notice.Plain);
        // Nothing stays powered while the notice waits for the operator.
        QCOMPARE(notice.Actions.mid(notice.Actions.size() - 4), LinesOff);
    }

    // The session ends while a start-up notice waits: the end runs at once,
    // nothing more starts, and the program's loop ends with the status.
    void quitDuringStartUpNotice()
    {
        Rig rig;
        rig.Fake.Opens = {{"COM1", false}, {"COM2", false}};
        rig.NoticeWatch.stop();
        QTimer sessionEnd;
        QObject::connect(&sessionEnd, &QTimer::timeout, [&] {
            if (QApplication::activeModalWidget() == nullptr)
                return;
            sessionEnd.stop();
            rig.AnswerNotice(); // records it; the quit still comes inside its exec()
            QEvent quit(QEvent::Quit);
            QCoreApplication::sendEvent(qApp, &quit);
        });
        sessionEnd.start(5);
        rig.Create()->show();
        QVERIFY(rig.Form->Logic().Ended());
        QTimer::singleShot(2000, qApp, [] { QCoreApplication::exit(99); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(rig.Notices.size(), 1);
        QCOMPARE(rig.Notices[0].Text, QStringLiteral("COM1 OBSAZEN"));
        QCOMPARE(rig.LastActions(), LinesOff);
        QCOMPARE(rig.LogLines(), QStringList{EndOfZeroCount});
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
