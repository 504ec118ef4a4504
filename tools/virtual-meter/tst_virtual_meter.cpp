// Unit tests of the virtual meter's waveform, port descriptions, modem
// ioctl emulation and testbed check.
#include "ModemPort.h"
#include "PortConfig.h"
#include "TestbedCheck.h"

#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <filesystem>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <vector>

using namespace vmeter;

namespace {

bool Throws(const std::string &text)
{
    try {
        ParsePortConfig(text);
    } catch (const ConfigError &) {
        return true;
    }
    return false;
}

// "ms=level" words with the wave's own levels at the words' times.
QString Levels(const Waveform &wave, const QString &expected)
{
    QStringList words;
    for (const QString &word : expected.split(' '))
        words << word.section('=', 0, 0) + "=" + QString::number(wave.LevelAt(word.section('=', 0, 0).toDouble()));
    return words.join(' ');
}

} // namespace

class TestVirtualMeter : public QObject
{
    Q_OBJECT

private slots:
    // end: the wave's last change ("none": endless); edges: rising edges
    // in the first ten seconds, a pulse at 0 being the start level.
    void waves_data()
    {
        QTest::addColumn<QString>("config");
        QTest::addColumn<QString>("levels");
        QTest::addColumn<QString>("end");
        QTest::addColumn<int>("edges");
        const auto row = [](const char *name, const char *config, const char *levels, const char *end, int edges) {
            QTest::newRow(name) << QString(config) << QString(levels) << QString(end) << edges;
        };
        // The first pulse starts on the delay and lasts 50 % of 500 ms; a
        // second at 1500, a third at 2000, no fourth.
        row("2 Hz, 3 pulses after 1 s", "present,hz=2,duty=50,delay=1000,pulses=3",
            "0=0 999.9=0 1000=1 1249.9=1 1250=0 1500=1 2000=1 2250=0 2500=0 1000000000=0", "2500", 3);
        row("20 % duty, endless, an hour later still on the grid", "present,hz=10,duty=20",
            "0=1 19.9=1 20=0 99.9=0 100=1 3600010=1", "none", 100);
        // CTS on at the start: each pulse is an off phase followed by on again.
        row("idle high", "present,idle=1,hz=5,delay=100,pulses=4", "0=1 100=0 200=1 5000=1", "900", 4);
        row("no pulses", "present", "0=0 1000000=0", "0", 0);
        row("no pulses, idle high", "present,idle=1", "5=1", "0", 0);
        row("0 pulses, idle high", "present,idle=1,hz=10,pulses=0", "5=1", "0", 0);
        row("steps", "present,steps=0:0;100:1;140:0;300:1", "99=0 100=1 139=1 140=0 300=1 1000000=1", "300", 2);
        row("steps, idle high before the first", "present,idle=1,steps=50:0", "0=1 50=0", "50", 0);
    }

    void waves()
    {
        QFETCH(QString, config);
        QFETCH(QString, levels);
        QFETCH(QString, end);
        QFETCH(int, edges);
        const Waveform wave = ParsePortConfig(config.toStdString()).Cts;
        QCOMPARE(Levels(wave, levels), levels);
        QCOMPARE(wave.EndMs() ? QString::number(*wave.EndMs()) : QStringLiteral("none"), end);
        int rising = 0;
        for (double t = 0.5; t <= 10000; t += 0.5)
            rising += wave.LevelAt(t) > wave.LevelAt(t - 0.5) ? 1 : 0;
        QCOMPARE(rising, edges);
    }

    void parsing()
    {
        const auto full = ParsePortConfig("present,hz=2,duty=25,pulses=600,delay=500,idle=1,origin=open,remove=3000");
        QVERIFY(full.Kind == PortKind::Present);
        QVERIFY(full.Cts.PeriodMs == 500);
        QVERIFY(full.Cts.DutyPercent == 25);
        QVERIFY(full.Cts.Pulses && *full.Cts.Pulses == 600);
        QVERIFY(full.Cts.DelayMs == 500);
        QVERIFY(full.Cts.Idle == 1);
        QVERIFY(full.TimeOrigin == Origin::Open);
        QVERIFY(full.RemoveMs && *full.RemoveMs == 3000);
        QVERIFY(!full.Held);

        const auto endless = ParsePortConfig("present,hz=4,pulses=inf");
        QVERIFY(endless.Cts.PeriodMs == 250 && !endless.Cts.Pulses);
        QVERIFY(ParsePortConfig("present").Cts.PeriodMs == 0);
        QVERIFY(ParsePortConfig("absent").Kind == PortKind::Absent);
        QVERIFY(ParsePortConfig("notserial").Kind == PortKind::NotSerial);
        const auto held = ParsePortConfig("held");
        QVERIFY(held.Held && held.Kind == PortKind::Present);
        QVERIFY(ParsePortConfig("present,hz=1,held").Held);
        QVERIFY(ParsePortConfig("notserial,held").Held);
        const auto steps = ParsePortConfig("present,steps=0:0;100:1;140:0");
        QVERIFY(steps.Cts.Steps.size() == 3 && steps.Cts.Steps[1].first == 100 && steps.Cts.Steps[1].second == 1);

        QVERIFY(ParsePortConfig("present,socket=3").Socket == 3);
        QVERIFY(ParsePortConfig("notserial,socket=15").Socket == 15);
        QVERIFY(ParsePortConfig("present").Socket == 0);
        // "hz=2": no kind; "present,pulses=5": pulses need a rate.
        for (const QString &bad :
             QStringLiteral("|sometimes|hz=2|present,hz=0|present,socket=0|present,socket=16|present,socket=2.5|absent,"
                            "socket=2|present,hz=-1|present,hz=abc|present,duty=0|present,duty=100|present,pulses=2.5|"
                            "present,pulses=5|present,delay=-1|present,idle=2|present,hz=1,hz=2|present,hz=1,steps=0:1|"
                            "present,steps=10:1;5:0|present,steps=10|present,origin=later|absent,hz=2|absent,held|"
                            "notserial,hz=2|hz=2,present|present,bogus")
                 .split('|'))
            QVERIFY2(Throws(bad.toStdString()), qPrintable(bad));
    }

    void emulation()
    {
        ModemPort port("/dev/ttyS1", ParsePortConfig("present,hz=10,duty=50,delay=1000,pulses=2"));
        QVERIFY(!port.Opened(10)); // origin=start was set at construction
        // Linux raises DTR and RTS on open.
        auto answer = port.Ioctl(TIOCMGET, 0, 20);
        QVERIFY(answer.Emulated && answer.Result == 0 && answer.WriteBack);
        QVERIFY(answer.Value && *answer.Value == (TIOCM_DTR | TIOCM_RTS));

        QVERIFY(port.Ioctl(TIOCCBRK, 0, 21).Result == 0);
        answer = port.Ioctl(TIOCMBIS, TIOCM_DTR, 22);
        QVERIFY(answer.Result == 0 && answer.Value && *answer.Value == TIOCM_DTR && !answer.WriteBack);
        QVERIFY(port.Ioctl(TIOCMBIC, TIOCM_RTS, 23).Result == 0);
        QVERIFY(port.Lines(24).Dtr && !port.Lines(24).Rts && !port.Lines(24).Break);
        QVERIFY(port.Ioctl(TIOCSBRK, 0, 25).Result == 0 && port.Lines(25).Break);
        QVERIFY(port.Ioctl(TIOCEXCL, 0, 26).Result == 0);

        answer = port.Ioctl(TIOCMGET, 0, 1010);
        QVERIFY(answer.Value && *answer.Value == (TIOCM_DTR | TIOCM_CTS));
        answer = port.Ioctl(TIOCMGET, 0, 1060);
        QVERIFY(answer.Value && *answer.Value == TIOCM_DTR);
        QVERIFY(port.Ioctl(TIOCMSET, TIOCM_RTS, 1070).Result == 0);
        QVERIFY(!port.Lines(1070).Dtr && port.Lines(1070).Rts);

        // termios goes to the pty; unknown requests fail as on a UART driver.
        QVERIFY(!port.Ioctl(TCGETS, 0, 1100).Emulated);
        answer = port.Ioctl(TIOCGSERIAL, 0, 1100);
        QVERIFY(answer.Emulated && answer.Result == -1 && answer.Error == ENOTTY);

        // The last close hangs up: DTR, RTS and break drop.
        port.Closed(1200);
        QVERIFY(!port.Lines(1200).Dtr && !port.Lines(1200).Rts && !port.Lines(1200).Break);
    }

    void openOriginAndRemoval()
    {
        ModemPort port("/dev/ttyS0", ParsePortConfig("present,steps=100:1;200:0,origin=open,remove=500"));
        QVERIFY(!port.OriginMs());
        QVERIFY(port.Lines(5000).Cts == 0);
        QVERIFY(port.Opened(5000));
        QVERIFY(!port.Opened(5001)); // a second open keeps the origin
        QVERIFY(port.OriginMs() && *port.OriginMs() == 5000);
        QVERIFY(port.Lines(5150).Cts == 1);
        auto answer = port.Ioctl(TIOCMGET, 0, 5150);
        QVERIFY(answer.Value && (*answer.Value & TIOCM_CTS) != 0);
        answer = port.Ioctl(TIOCMGET, 0, 5500);
        QVERIFY(answer.Result == -1 && answer.Error == EIO && answer.Emulated);
        answer = port.Ioctl(TIOCMBIC, TIOCM_DTR, 5600);
        QVERIFY(answer.Result == -1 && answer.Error == EIO && answer.Value && *answer.Value == TIOCM_DTR);
        QVERIFY(port.Ioctl(TCGETS, 0, 5600).Error == EIO);
    }

    void signalOrigin()
    {
        ModemPort port("/dev/ttyS1", ParsePortConfig("present,hz=10,pulses=1,origin=usr2"));
        QVERIFY(!port.Opened(100));                  // an open does not start it
        QVERIFY(!port.Triggered(Origin::Usr1, 200)); // nor the other signal
        QVERIFY(port.Lines(250).Cts == 0);
        QVERIFY(port.Triggered(Origin::Usr2, 300));
        QVERIFY(!port.Triggered(Origin::Usr2, 400)); // the first one counts
        QVERIFY(port.OriginMs() && *port.OriginMs() == 300);
        QVERIFY(port.Lines(310).Cts == 1 && port.Lines(360).Cts == 0);
        QVERIFY(ParsePortConfig("present,origin=usr1").TimeOrigin == Origin::Usr1);
    }

    void notSerial()
    {
        ModemPort port("/dev/ttyS1", ParsePortConfig("notserial"));
        port.Opened(0);
        for (const unsigned long request : {TIOCMGET, TIOCMBIS, TIOCMBIC, TIOCSBRK, TIOCCBRK}) {
            const auto answer = port.Ioctl(request, TIOCM_DTR, 10);
            QVERIFY(answer.Emulated && answer.Result == -1 && answer.Error == ENOTTY);
        }
        QVERIFY(!port.Ioctl(TCGETS, 0, 10).Emulated);
        QVERIFY(!port.Ioctl(TIOCEXCL, 0, 10).Emulated);
    }

    void names()
    {
        QVERIFY(RequestName(TIOCMGET) == "TIOCMGET");
        QVERIFY(RequestName(TIOCCBRK) == "TIOCCBRK");
        QVERIFY(RequestName(0x12345678) == "0x12345678");
        QVERIFY(ClassifyRequest(TIOCMBIS) == RequestKind::Modem);
        QVERIFY(ClassifyRequest(TCSETSF) == RequestKind::Termios);
        QVERIFY(ClassifyRequest(TCSBRKP) == RequestKind::Termios);
        QVERIFY(ClassifyRequest(FIONREAD) == RequestKind::Queue);
        QVERIFY(ClassifyRequest(TIOCEXCL) == RequestKind::Other);
    }

    // A hook sees every request first; what it leaves goes to the emulation.
    void hookAnswersFirst()
    {
        ModemPort port("/dev/ttyS1", ParsePortConfig("present"));
        port.Opened(0);
        std::vector<unsigned long> seen;
        port.SetHook([&seen](unsigned long request, int) -> std::optional<IoctlAnswer> {
            seen.push_back(request);
            if (request != TIOCMGET)
                return std::nullopt;
            return IoctlAnswer::Failure(EIO);
        });
        QCOMPARE(port.Ioctl(TIOCMGET, 0, 1).Error, EIO);
        QCOMPARE(port.Ioctl(TIOCMBIC, TIOCM_DTR, 2).Result, 0L);
        QVERIFY(!port.Lines(3).Dtr);
        QCOMPARE(seen, (std::vector<unsigned long>{TIOCMGET, TIOCMBIC}));
    }
    // A testbed directory as the meter leaves it, then changed by a row's
    // steps ("link PATH TARGET", "dir PATH", "remove PATH"); error: a word
    // the refusal must name, "-" for none.
    void shadowing_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<bool>("shadowed");
        QTest::addColumn<QString>("error");
        const auto row = [](const char *steps, bool shadowed, const char *error = "") {
            QTest::newRow(steps) << QString(steps) << shadowed << QString(error);
        };
        row("", true);
        row("link /dev/ttyUSB0 /dev/pts/7;link /dev/COM2 ttyUSB0;"
            "link /dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0 ../../ttyUSB0",
            true);
        row("link /dev/COM3 /dev/ttyUSB0", false, "/dev/COM3"); // an absolute link could leave the testbed
        row("link /dev/COM3 ttyUSB32", false);
        row("link /dev/COM3 sda", false);
        row("remove /dev/COM3", false, "missing");
        row("link /dev/serial/by-path/x ../../ttyS0/../../../dev/ttyS0", false);
        row("dir /dev/serial/by-path/y", false); // a directory is no link
        row("remove /dev/serial", false, "/dev/serial");
        row("remove /dev/serial;dir /dev/serial/by-id", true);
        row("dir /dev/.absent;link /dev/ttyUSB7 .absent", true);
        row("dir /dev/.absent;link /dev/ttyUSB7 ../.absent", false, "ttyUSB7");
        row("link /dev/ttyUSB7 .absent", false, ".absent");
        row("dir /dev/.absent;link /dev/COM4 .absent", false); // an alias of nothing would be a broken alias, not none
        row("link /dev/ttyACM4 /dev/ttyACM4", false, "ttyACM4"); // to the real device
        row("remove /dev/ttyS31", false, "ttyS31");
    }

    void shadowing()
    {
        namespace fs = std::filesystem;
        QFETCH(QString, steps);
        QFETCH(bool, shadowed);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const std::string root = dir.path().toStdString();
        for (const std::string &path : ShadowedPaths())
            fs::create_directories(root + path);
        fs::create_directories(root + "/dev/serial/by-path");
        for (const QString &step : steps.split(';', Qt::SkipEmptyParts)) {
            const QStringList words = step.split(' ');
            const std::string path = root + words[1].toStdString();
            if (words[0] != "dir")
                fs::remove_all(path);
            if (words[0] == "link")
                fs::create_symlink(words[2].toStdString(), path);
            else if (words[0] == "dir")
                fs::create_directories(path);
        }
        std::string why;
        QCOMPARE(CheckShadowed(root, why), shadowed);
        QVERIFY2(why.find(error.toStdString()) != std::string::npos, why.c_str());
    }
};

QTEST_GUILESS_MAIN(TestVirtualMeter)
#include "tst_virtual_meter.moc"
