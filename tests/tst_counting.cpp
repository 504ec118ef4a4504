// The counting logic against a fake port and a fake window.  Serial calls and
// window operations go into one journal, so their order can be checked.
#include "Counting.h"
#include "FakeSerial.h"
#include "HandedText.h"
#include "PollThread.h"
#include "TestFiles.h"

#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <thread>

using Journal = std::vector<std::string>;
Q_DECLARE_METATYPE(Journal)

using namespace counting;

// Allocations made on a thread that counts them: the counting thread runs at
// real-time priority, where an allocation may wait for a lock that another
// thread holds.
namespace {
thread_local bool CountAllocations = false;
int Allocations = 0;
} // namespace

void *operator new(std::size_t size)
{
    if (CountAllocations)
        ++Allocations;
    if (void *memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    throw std::bad_alloc();
}
void operator delete(void *memory) noexcept { std::free(memory); }
void operator delete(void *memory, std::size_t) noexcept { std::free(memory); }

namespace {

struct FakeForm : Form1Operations
{
    explicit FakeForm(FakeSerial &serial) : Serial(serial) {}

    FakeSerial &Serial;
    std::vector<std::string> Text1Writes;
    // What the operator does while a notice waits.
    std::function<void()> WhileNoticeWaits;

    void SetText1(const std::string &text) override
    {
        Serial.Note("Text1 " + text);
        const std::lock_guard lock(Serial.Mutex);
        Text1Writes.push_back(text);
    }
    void MarkOption1() override { Serial.Note("MarkOption1"); }
    void MarkOption2() override { Serial.Note("MarkOption2"); }
    void SetTimer1Interval(int milliseconds) override { Serial.Note("Interval " + std::to_string(milliseconds)); }
    void ShowNotice(const std::string &text) override
    {
        Serial.Note("Notice " + text);
        if (WhileNoticeWaits)
            WhileNoticeWaits();
    }
};

// One program run: a fake port, a fake window and the logic between them.
struct Run
{
    explicit Run(const std::string &logPath = "/nonexistent/NAMERENO.TXT", TimeOfDay time = {14, 5, 9})
        : Form(Serial), Logic(
                            Form, Serial, [time] { return time; }, logPath)
    {
    }

    // Sets the CTS level of every port, then polls once.
    void Poll(std::int16_t level)
    {
        for (auto &[port, cts] : Serial.Cts)
            cts = level;
        Logic.Tick();
    }

    Journal CallsSince(std::size_t start) const { return {Serial.Calls.begin() + start, Serial.Calls.end()}; }

    FakeSerial Serial;
    FakeForm Form;
    counting::Logic Logic;
};

const Journal PowerContact = {"SetBreak 0", "SetDtr 1", "SetRts 0"};
const Journal LinesOff = {"SetDtr 0", "SetRts 0", "SetBreak 0", "ClosePort"};

Journal Join(std::initializer_list<Journal> parts)
{
    Journal all;
    for (const Journal &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

} // namespace

class TestCounting : public QObject
{
    Q_OBJECT

private slots:
    // Each row's journal up to the start-up's last steps, the same in every
    // row: the contact powered, CTS read, Timer1 set.
    void startUp_data()
    {
        QTest::addColumn<bool>("com1");
        QTest::addColumn<bool>("com2");
        QTest::addColumn<Journal>("journal");
        QTest::addColumn<QString>("openAfter");

        QTest::newRow("COM2 opens") << true << true << Journal{"OpenPort COM2", "MarkOption2"} << "COM2";
        // The mark is a choice: the whole switch to COM1 runs before the start-up goes on.
        const Journal toCom1{"OpenPort COM2", "OpenPort COM1", "MarkOption1", "ClosePort", "OpenPort COM1"};
        QTest::newRow("COM2 fails, COM1 opens") << true << false << Join({toCom1, PowerContact}) << "COM1";
        QTest::newRow("both fail") << false << false
                                   << Join({toCom1, {"Notice COM1 OBSAZEN"}, PowerContact, {"Notice COM NENALEZEN"}})
                                   << "";
    }

    void startUp()
    {
        QFETCH(bool, com1);
        QFETCH(bool, com2);
        QFETCH(Journal, journal);
        QFETCH(QString, openAfter);

        Run run;
        run.Serial.Opens = {{"COM1", com1}, {"COM2", com2}};
        run.Logic.Load();
        QCOMPARE(run.Serial.Calls, Join({journal, PowerContact, {"ReadCts", "Interval 20"}}));
        QCOMPARE(QString::fromStdString(run.Serial.Open), openAfter);
        QCOMPARE(run.Logic.State().PulseCount, 0);
    }

    void poll_data()
    {
        QTest::addColumn<bool>("port");
        QTest::addColumn<int>("levelAtStart");
        QTest::addColumn<QList<int>>("levels");
        QTest::addColumn<int>("pulses");

        QList<int> alternating;
        for (int i = 0; i < 50; ++i)
            alternating << 1 << 0;
        QTest::newRow("CTS on at start counts nothing") << true << 1 << QList<int>(10, 1) << 0;
        QTest::newRow("CTS on at start, first pulse after off-on") << true << 1 << QList<int>{1, 0, 1} << 1;
        QTest::newRow("on for 100 polls is one pulse") << true << 0 << QList<int>(100, 1) << 1;
        QTest::newRow("alternating: one per two polls") << true << 0 << alternating << 50;
        QTest::newRow("off-to-on only; on-to-off counts nothing") << true << 0 << QList<int>{1, 1, 0, 0, 1, 0} << 2;
        QTest::newRow("no port counts nothing") << false << 1 << alternating.mid(1, 20) << 0;
    }

    void poll()
    {
        QFETCH(bool, port);
        QFETCH(int, levelAtStart);
        QFETCH(QList<int>, levels);
        QFETCH(int, pulses);

        Run run;
        // A tick that comes before the start-up counts nothing either.
        run.Poll(static_cast<std::int16_t>(levelAtStart));
        if (!port)
            run.Serial.Opens = {{"COM1", false}, {"COM2", false}};
        run.Logic.Load();
        QCOMPARE(run.Logic.State().LastCts, port ? levelAtStart : 0);
        for (const int level : levels)
            run.Poll(static_cast<std::int16_t>(level));
        QCOMPARE(run.Logic.State().PulseCount, pulses);
        QCOMPARE(run.Logic.State().LastCts, port ? levels.last() : 0);
        // Text1 is written at each counted pulse and at no other tick.
        std::vector<std::string> expected;
        for (int count = 1; count <= pulses; ++count)
            expected.push_back(" " + std::to_string(count));
        QCOMPARE(run.Form.Text1Writes, expected);
    }

    void textFormats()
    {
        QCOMPARE(CountText(0), std::string(" 0"));
        QCOMPARE(CountText(5), std::string(" 5"));
        QCOMPARE(CountText(1234567), std::string(" 1234567"));
        // Past 32 bits the count goes on; no wrap, no separators.
        QCOMPARE(CountText(std::int64_t{1} << 40), std::string(" 1099511627776"));
        QCOMPARE(EndLine({14, 5, 9}, 37), std::string(" konec nacitani : 14:05:09  pocet pulsu = 37"));
        QCOMPARE(EndLine({0, 0, 5}, 0), std::string(" konec nacitani : 00:00:05  pocet pulsu = 0"));
        QCOMPARE(EndLine({23, 59, 59}, 1), std::string(" konec nacitani : 23:59:59  pocet pulsu = 1"));
    }

    void endSequence()
    {
        QTemporaryDir dir;
        const QString log = dir.filePath("NAMERENO.TXT");
        Run run(log.toStdString(), {0, 0, 5});
        run.Logic.Load();
        run.Poll(1);
        run.Poll(0);
        run.Poll(1);
        const std::size_t before = run.Serial.Calls.size();
        std::string loggedAtSwitchOff;
        run.Serial.WhenDtrOff = [&] { loggedAtSwitchOff = ReadFile(log).toStdString(); };

        QCOMPARE(run.Logic.End().Status, 0);
        const std::string line = " konec nacitani : 00:00:05  pocet pulsu = 2";
        QCOMPARE(run.CallsSince(before), Join({{"Text1 " + line}, LinesOff}));
        // The line is in the log before the lines go off.
        QCOMPARE(loggedAtSwitchOff, line + "\r\n");
        QCOMPARE(ReadFile(log).toStdString(), line + "\r\n");
        QVERIFY(run.Logic.Ended());

        // The close that follows a button press runs nothing a second time, and
        // neither a tick nor a port chosen before the window goes touches a port.
        const std::size_t afterEnd = run.Serial.Calls.size();
        run.Poll(0);
        run.Logic.Option1Chosen();
        QCOMPARE(run.Logic.End().Status, 0);
        QVERIFY(!run.Logic.Tick());
        QCOMPARE(run.Serial.Calls.size(), afterEnd);
        QCOMPARE(ReadFile(log).toStdString(), line + "\r\n");

        // The next run, with no port at all, logs its line after this one.
        Run noPort(log.toStdString(), {9, 30, 0});
        noPort.Serial.Opens.clear();
        noPort.Logic.Load();
        noPort.Poll(1);
        QCOMPARE(noPort.Logic.End().Status, 0);
        QCOMPARE(ReadFile(log).toStdString(), line + "\r\n konec nacitani : 09:30:00  pocet pulsu = 0\r\n");

        // A signal before the start-up: the start-up that follows takes no port.
        Run early(dir.filePath("early.TXT").toStdString());
        QVERIFY(early.Logic.Tick());
        QCOMPARE(early.Logic.End().Status, 0);
        const std::size_t endedEarly = early.Serial.Calls.size();
        early.Logic.Load();
        QVERIFY(!early.Logic.Tick());
        QCOMPARE(early.Serial.Calls.size(), endedEarly);
    }

    void endWhenLogFails()
    {
        QTemporaryDir dir;
        // A directory where the log should be: the open fails.
        QVERIFY(QDir(dir.path()).mkdir("NAMERENO.TXT"));
        Run run(dir.filePath("NAMERENO.TXT").toStdString());
        run.Logic.Load();
        run.Poll(1);
        const std::size_t before = run.Serial.Calls.size();

        const EndResult end = run.Logic.End();
        QCOMPARE(end.Status, 1);
        const std::string line = " konec nacitani : 14:05:09  pocet pulsu = 1";
        // The lines are off and the port released, and no notice waits: the end
        // leaves its notice to whoever ran it, to show after that.
        QCOMPARE(run.CallsSince(before), Join({{"Text1 " + line}, LinesOff}));
        QVERIFY(end.Notice.starts_with("MERENI NEBYLO ZAPSANO DO NAMERENO.TXT"));
        QVERIFY2(end.Notice.find("Is a directory") != std::string::npos, end.Notice.c_str());
        QVERIFY(end.Notice.ends_with(line));
        // Ending again keeps the failure status and has nothing new to show.
        const EndResult again = run.Logic.End();
        QCOMPARE(again.Status, 1);
        QVERIFY(again.Notice.empty());
    }

    void switching_data()
    {
        QTest::addColumn<int>("choice");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<Journal>("journal");

        QTest::newRow("to COM1") << 1 << true << Join({{"ClosePort", "OpenPort COM1"}, PowerContact});
        QTest::newRow("to COM1, held") << 1 << false
                                       << Join({{"ClosePort", "OpenPort COM1", "Notice COM1 OBSAZEN"}, PowerContact});
        // The marked port chosen again: closed and opened anew.
        QTest::newRow("to COM2 again") << 2 << true << Join({{"ClosePort", "OpenPort COM2"}, PowerContact});
        QTest::newRow("to COM2, held") << 2 << false
                                       << Join({{"ClosePort", "OpenPort COM2", "Notice COM2 OBSAZEN"}, PowerContact});
    }

    void switching()
    {
        QFETCH(int, choice);
        QFETCH(bool, opens);
        QFETCH(Journal, journal);
        const std::string port = choice == 1 ? "COM1" : "COM2";

        Run run;
        run.Logic.Load();
        run.Poll(1);
        run.Poll(0);
        run.Serial.Opens[port] = opens;
        // The old port's CTS was off; the new port's is on.
        run.Serial.Cts[port] = 1;
        const std::size_t before = run.Serial.Calls.size();
        choice == 1 ? run.Logic.Option1Chosen() : run.Logic.Option2Chosen();
        QCOMPARE(run.CallsSince(before), journal);
        QCOMPARE(run.Serial.Open, opens ? port : std::string());
        // The count and the last level carry over, so the new port's first poll counts.
        QCOMPARE(run.Logic.State().PulseCount, 1);
        QCOMPARE(run.Logic.State().LastCts, 0);
        run.Logic.Tick();
        QCOMPARE(run.Form.Text1Writes.back(), std::string(opens ? " 2" : " 1"));
        // A failed switch leaves no port: nothing more is counted.
        run.Poll(0);
        run.Poll(1);
        QCOMPARE(run.Logic.State().PulseCount, opens ? 3 : 1);

        // To the other port, with CTS on there too: after a level of 1 no pulse,
        // after the failed switch's 0 a pulse.
        choice == 1 ? run.Logic.Option2Chosen() : run.Logic.Option1Chosen();
        run.Logic.Tick();
        QCOMPARE(run.Logic.State().PulseCount, opens ? 3 : 2);
    }

    // The counting thread polls every millisecond while the window's thread runs
    // a start-up with two notices and forty switches, and a signal's end comes
    // while the last switch's notice waits.
    void ordersHoldAgainstTheCountingThread()
    {
        using namespace std::chrono_literals;
        QTemporaryDir dir;
        const QString log = dir.filePath("NAMERENO.TXT");
        Run run(log.toStdString());
        run.Serial.Opens = {{"COM1", false}, {"COM2", false}};
        run.Serial.Cts = {{"COM1", 1}, {"COM2", 1}};
        run.Serial.Alternate = true;
        constexpr int Switches = 40;
        int switches = 0;
        std::unique_ptr<PollThread> poll;
        // The operator takes a while over each notice, so ticks fall due meanwhile.
        run.Form.WhileNoticeWaits = [&] {
            std::this_thread::sleep_for(10ms);
            if (switches == Switches) {
                poll->RequestEnd();
                QTRY_VERIFY(run.Logic.Ended());
            }
        };
        poll = std::make_unique<PollThread>(run.Logic, nullptr);
        poll->SetInterval(1);

        run.Logic.Load();
        {
            const std::lock_guard lock(run.Serial.Mutex);
            run.Serial.Opens = {{"COM1", true}, {"COM2", true}};
        }
        for (switches = 1; switches <= Switches; ++switches) {
            if (switches == Switches) {
                const std::lock_guard lock(run.Serial.Mutex);
                run.Serial.Opens["COM2"] = false;
            }
            switches % 2 == 1 ? run.Logic.Option1Chosen() : run.Logic.Option2Chosen();
            std::this_thread::sleep_for(3ms);
        }
        --switches;
        poll.reset();

        const Journal calls = run.Serial.CallsSoFar();
        const auto onPoll = [](const std::string &call) { return call.ends_with(" @poll"); };
        // No tick before the start-up's own ReadCts, nor inside the start-up.
        const auto started = std::find(calls.begin(), calls.end(), "Interval 20");
        QVERIFY(started != calls.end());
        QCOMPARE(*(started - 1), std::string("ReadCts"));
        QVERIFY(std::none_of(calls.begin(), started, onPoll));
        // No tick inside a switch, each of which keeps its order to its end.
        int switchesSeen = 0;
        for (auto call = started; call != calls.end(); ++call) {
            if (*call != "ClosePort")
                continue;
            ++switchesSeen;
            const auto done = std::find(call, calls.end(), "SetRts 0");
            if (done != calls.end()) {
                QVERIFY(std::none_of(call, done, onPoll));
                QCOMPARE(done - call, 4); // ClosePort, OpenPort, SetBreak 0, SetDtr 1, SetRts 0
            }
        }
        QCOMPARE(switchesSeen, Switches);

        // Text1: the counts one by one from " 1", then the end line, which ends
        // the journal: nothing polled or switched on after the end.
        const std::string line = EndLine({14, 5, 9}, run.Logic.State().PulseCount);
        QVERIFY(run.Logic.State().PulseCount > 10);
        const std::vector<std::string> &texts = run.Form.Text1Writes;
        for (std::size_t i = 0; i + 1 < texts.size(); ++i)
            QCOMPARE(texts[i], CountText(static_cast<std::int64_t>(i) + 1));
        QCOMPARE(texts.back(), line);
        const Journal end{"Text1 " + line + " @poll", "SetDtr 0 @poll", "SetRts 0 @poll", "SetBreak 0 @poll",
                          "ClosePort @poll"};
        QCOMPARE(Journal(calls.end() - 5, calls.end()), end);
        QCOMPARE(*(calls.end() - 6), std::string("Notice COM2 OBSAZEN"));
        QCOMPARE(ReadFile(log).toStdString(), line + "\r\n");
    }

    // A tick that falls due while a handler runs comes as soon as the handler is
    // done, not a period later.
    void tickOwedDuringHandler()
    {
        using namespace std::chrono;
        Run run;
        run.Logic.Load();
        run.Serial.Opens["COM1"] = false;
        // The switch's notice waits 400 ms: the tick due at 300 ms falls inside it.
        run.Form.WhileNoticeWaits = [] { std::this_thread::sleep_for(400ms); };
        PollThread poll(run.Logic, nullptr);
        poll.SetInterval(300);
        run.Logic.Option1Chosen();
        const steady_clock::time_point done = steady_clock::now();
        // A poll after the switch's last call, which may have come already.
        const auto polled = [&] {
            const Journal calls = run.Serial.CallsSoFar();
            const auto switched = std::find(calls.rbegin(), calls.rend(), "SetRts 0");
            return std::find(calls.rbegin(), switched, "ReadCts @poll") != switched;
        };
        while (!polled() && steady_clock::now() - done < 1s)
            std::this_thread::sleep_for(1ms);
        const auto waited = duration_cast<milliseconds>(steady_clock::now() - done);
        QVERIFY2(waited < 100ms, qPrintable(QString("the first poll came %1 ms after the switch").arg(waited.count())));
    }

    // The counting thread hands texts over as fast as it can while the window's
    // thread takes them: each text taken is whole and newer than the one before,
    // the last one arrives, and the window is woken once per text it takes.
    void handedTextLatestWins()
    {
        const std::string longest = EndLine({23, 59, 59}, std::numeric_limits<std::int64_t>::max());
        QVERIFY(longest.size() <= HandedText::Capacity);
        HandedText handed;
        QVERIFY(!handed.Take());
        QVERIFY(handed.Hand(longest));
        QVERIFY(!handed.Hand(" 1"));
        QCOMPARE(handed.Take(), std::optional<std::string>(" 1"));
        QVERIFY(!handed.Take());

        constexpr std::int64_t Last = 100000;
        int wakes = 0;
        std::thread counting([&] {
            for (std::int64_t count = 1; count <= Last; ++count)
                wakes += handed.Hand(CountText(count)) ? 1 : 0;
        });
        std::vector<std::string> taken;
        while (taken.empty() || taken.back() != CountText(Last)) {
            if (std::optional<std::string> text = handed.Take())
                taken.push_back(*text);
        }
        counting.join();
        std::int64_t previous = 0;
        for (const std::string &text : taken) {
            const std::int64_t count = std::stoll(text);
            QCOMPARE(text, CountText(count));
            QVERIFY(count > previous);
            previous = count;
        }
        QCOMPARE(wakes, int(taken.size()));
    }

    void tickAllocatesNothing()
    {
        struct : SerialLines
        {
            std::int16_t Level = 0;
            std::int16_t OpenPort(std::string_view) override { return 1; }
            void ClosePort() override {}
            void SetDtr(std::int16_t) override {}
            void SetRts(std::int16_t) override {}
            void SetBreak(std::int16_t) override {}
            std::int16_t ReadCts() override { return Level; }
        } lines;
        struct : Form1Operations
        {
            HandedText Handed;
            void SetText1(const std::string &text) override { Handed.Hand(text); }
            void MarkOption1() override {}
            void MarkOption2() override {}
            void SetTimer1Interval(int) override {}
            void ShowNotice(const std::string &) override {}
        } form;
        Logic logic(form, lines);
        logic.Load();
        CountAllocations = true;
        for (int tick = 0; tick < 1000; ++tick) {
            lines.Level = static_cast<std::int16_t>(tick % 2);
            logic.Tick();
        }
        CountAllocations = false;
        QCOMPARE(logic.State().PulseCount, 500);
        QCOMPARE(Allocations, 0);
    }
};

QTEST_GUILESS_MAIN(TestCounting)
#include "tst_counting.moc"
