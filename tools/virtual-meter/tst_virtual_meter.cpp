// Unit tests of the virtual meter's waveform, port descriptions, modem
// ioctl emulation and testbed check.
#include "ModemPort.h"
#include "PortConfig.h"
#include "TestbedCheck.h"
#include "Waveform.h"

#include <QTest>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

bool Throws(const std::string &text)
{
    try {
        vmeter::ParsePortConfig(text);
    } catch (const vmeter::ConfigError &) {
        return true;
    }
    return false;
}

// The wave's level at each time, as "ms=level" words, for one QCOMPARE.
QString Levels(const vmeter::Waveform &wave, std::initializer_list<double> times)
{
    QStringList words;
    for (const double t : times)
        words << QStringLiteral("%1=%2").arg(t).arg(wave.LevelAt(t));
    return words.join(' ');
}

int RisingEdges(const vmeter::Waveform &wave, double untilMs, double stepMs = 1)
{
    int edges = 0;
    int last = wave.LevelAt(0);
    for (double t = stepMs; t <= untilMs; t += stepMs) {
        const int level = wave.LevelAt(t);
        edges += level > last ? 1 : 0;
        last = level;
    }
    return edges;
}

} // namespace

class TestVirtualMeter : public QObject
{
    Q_OBJECT

private slots:
    void periodicWave()
    {
        vmeter::Waveform wave;
        wave.PeriodMs = 500; // 2 Hz
        wave.DutyPercent = 50;
        wave.DelayMs = 1000;
        wave.Pulses = 3;
        // The first pulse starts on the delay and lasts 50 % of 500 ms; a second
        // at 1500, a third at 2000, no fourth.
        QCOMPARE(Levels(wave, {0, 999.9, 1000, 1249.9, 1250, 1500, 2000, 2250, 2500, 1e9}),
                 "0=0 999.9=0 1000=1 1249.9=1 1250=0 1500=1 2000=1 2250=0 2500=0 1e+09=0");
        QVERIFY(wave.EndMs() && *wave.EndMs() == 2500);
        QVERIFY(RisingEdges(wave, 10000) == 3);
    }

    void dutyAndEndless()
    {
        vmeter::Waveform wave;
        wave.PeriodMs = 100;
        wave.DutyPercent = 20;
        QCOMPARE(Levels(wave, {0, 19.9, 20, 99.9, 100}), "0=1 19.9=1 20=0 99.9=0 100=1");
        QVERIFY(!wave.EndMs());
        QVERIFY(RisingEdges(wave, 1000, 0.5) == 10); // the pulse at 0 is the start level, not an edge
        QVERIFY(wave.LevelAt(3600000.0 + 10) == 1);  // an hour later still on the grid
    }

    void idleHigh()
    {
        // CTS on at the start: each pulse is an off phase followed by on again.
        vmeter::Waveform wave;
        wave.Idle = 1;
        wave.PeriodMs = 200;
        wave.DelayMs = 100;
        wave.Pulses = 4;
        QCOMPARE(Levels(wave, {0, 100, 200, 5000}), "0=1 100=0 200=1 5000=1");
        QVERIFY(RisingEdges(wave, 5000) == 4);
    }

    void noPulses()
    {
        vmeter::Waveform wave;
        QVERIFY(wave.LevelAt(0) == 0 && wave.LevelAt(1e6) == 0);
        QVERIFY(wave.EndMs() && *wave.EndMs() == 0);
        wave.Idle = 1;
        QVERIFY(wave.LevelAt(5) == 1);
        wave.PeriodMs = 100;
        wave.Pulses = 0;
        QVERIFY(wave.LevelAt(5) == 1 && RisingEdges(wave, 1000) == 0);
    }

    void steps()
    {
        vmeter::Waveform wave;
        wave.Steps = {{0, 0}, {100, 1}, {140, 0}, {300, 1}};
        QCOMPARE(Levels(wave, {99, 100, 139, 140, 300, 1e6}), "99=0 100=1 139=1 140=0 300=1 1e+06=1");
        QVERIFY(wave.EndMs() && *wave.EndMs() == 300);
        vmeter::Waveform late;
        late.Idle = 1;
        late.Steps = {{50, 0}};
        QVERIFY(late.LevelAt(0) == 1 && late.LevelAt(50) == 0);
    }

    void parsing()
    {
        using vmeter::ParsePortConfig;
        using vmeter::PortKind;
        const auto full = ParsePortConfig("present,hz=2,duty=25,pulses=600,delay=500,idle=1,origin=open,remove=3000");
        QVERIFY(full.Kind == PortKind::Present);
        QVERIFY(full.Cts.PeriodMs == 500);
        QVERIFY(full.Cts.DutyPercent == 25);
        QVERIFY(full.Cts.Pulses && *full.Cts.Pulses == 600);
        QVERIFY(full.Cts.DelayMs == 500);
        QVERIFY(full.Cts.Idle == 1);
        QVERIFY(full.TimeOrigin == vmeter::Origin::Open);
        QVERIFY(full.RemoveMs && *full.RemoveMs == 3000);
        QVERIFY(!full.Held);

        const auto endless = ParsePortConfig("present,period=250,pulses=inf");
        QVERIFY(endless.Cts.PeriodMs == 250 && !endless.Cts.Pulses);
        QVERIFY(ParsePortConfig("present").Cts.PeriodMs == 0);
        QVERIFY(ParsePortConfig("absent").Kind == PortKind::Absent);
        QVERIFY(ParsePortConfig("notserial").Kind == PortKind::NotSerial);
        const auto held = ParsePortConfig("held");
        QVERIFY(held.Held && held.Kind == PortKind::Present);
        QVERIFY(ParsePortConfig("present,hz=1,held").Held);
        QVERIFY(ParsePortConfig("notserial,held").Held);
        const auto steps = ParsePortConfig("present,steps=0:0;100:1;140:off");
        QVERIFY(steps.Cts.Steps.size() == 3 && steps.Cts.Steps[1].first == 100 && steps.Cts.Steps[1].second == 1);

        QVERIFY(vmeter::ParsePortConfig("present,socket=3").Socket == 3);
        QVERIFY(vmeter::ParsePortConfig("notserial,socket=15").Socket == 15);
        QVERIFY(vmeter::ParsePortConfig("present").Socket == 0);
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
        using vmeter::ModemPort;
        ModemPort port("/dev/ttyS1", vmeter::ParsePortConfig("present,period=100,duty=50,delay=1000,pulses=2"));
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
        using vmeter::ModemPort;
        ModemPort port("/dev/ttyS0", vmeter::ParsePortConfig("present,steps=100:1;200:0,origin=open,remove=500"));
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
        vmeter::ModemPort port("/dev/ttyS1", vmeter::ParsePortConfig("present,hz=10,pulses=1,origin=usr2"));
        QVERIFY(!port.Opened(100));                          // an open does not start it
        QVERIFY(!port.Triggered(vmeter::Origin::Usr1, 200)); // nor the other signal
        QVERIFY(port.Lines(250).Cts == 0);
        QVERIFY(port.Triggered(vmeter::Origin::Usr2, 300));
        QVERIFY(!port.Triggered(vmeter::Origin::Usr2, 400)); // the first one counts
        QVERIFY(port.OriginMs() && *port.OriginMs() == 300);
        QVERIFY(port.Lines(310).Cts == 1 && port.Lines(360).Cts == 0);
        QVERIFY(vmeter::ParsePortConfig("present,origin=usr1").TimeOrigin == vmeter::Origin::Usr1);
    }

    void notSerial()
    {
        vmeter::ModemPort port("/dev/ttyS1", vmeter::ParsePortConfig("notserial"));
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
        QVERIFY(vmeter::RequestName(TIOCMGET) == "TIOCMGET");
        QVERIFY(vmeter::RequestName(TIOCCBRK) == "TIOCCBRK");
        QVERIFY(vmeter::RequestName(0x12345678) == "0x12345678");
        QVERIFY(vmeter::ModemBitsJson(TIOCM_DTR | TIOCM_CTS) == "[\"DTR\",\"CTS\"]");
        QVERIFY(vmeter::ModemBitsJson(0) == "[]");
        QVERIFY(vmeter::ClassifyRequest(TIOCMBIS) == vmeter::RequestKind::Modem);
        QVERIFY(vmeter::ClassifyRequest(TCSETSF) == vmeter::RequestKind::Termios);
        QVERIFY(vmeter::ClassifyRequest(TCSBRKP) == vmeter::RequestKind::Termios);
        QVERIFY(vmeter::ClassifyRequest(FIONREAD) == vmeter::RequestKind::Queue);
        QVERIFY(vmeter::ClassifyRequest(TIOCEXCL) == vmeter::RequestKind::Other);
    }

    // A hook sees every request first; what it leaves goes to the emulation.
    void hookAnswersFirst()
    {
        vmeter::ModemPort port("/dev/ttyS1", vmeter::ParsePortConfig("present"));
        port.Opened(0);
        std::vector<unsigned long> seen;
        port.SetHook([&seen](unsigned long request, int) -> std::optional<vmeter::IoctlAnswer> {
            seen.push_back(request);
            if (request != TIOCMGET)
                return std::nullopt;
            return vmeter::IoctlAnswer::Failure(EIO);
        });
        QCOMPARE(port.Ioctl(TIOCMGET, 0, 1).Error, EIO);
        QCOMPARE(port.Ioctl(TIOCMBIC, TIOCM_DTR, 2).Result, 0L);
        QVERIFY(!port.Lines(3).Dtr);
        QCOMPARE(seen, (std::vector<unsigned long>{TIOCMGET, TIOCMBIC}));
    }
    // A testbed directory as the meter leaves it, then broken one way at a time.
    void shadowing()
    {
        namespace fs = std::filesystem;
        char pattern[] = "/tmp/vmeter-shadow-XXXXXX";
        const char *made = ::mkdtemp(pattern);
        QVERIFY(made != nullptr);
        const std::string root = made;
        for (const std::string &path : vmeter::ShadowedPaths())
            fs::create_directories(root + path);
        fs::create_directories(root + "/dev/serial/by-path");
        std::string error;
        const auto shadowed = [&] {
            error.clear();
            return vmeter::CheckShadowed(root, error);
        };
        const auto replace = [&](const std::string &path, const std::string &target) {
            fs::remove_all(root + path);
            fs::create_symlink(target, root + path);
        };
        QVERIFY(shadowed());
        replace("/dev/ttyUSB0", "/dev/pts/7");
        replace("/dev/COM2", "ttyUSB0");
        replace("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", "../../ttyUSB0");
        QVERIFY(shadowed());

        replace("/dev/COM3", "/dev/ttyUSB0"); // an absolute link could leave the testbed
        QVERIFY(!shadowed() && error.find("/dev/COM3") != std::string::npos);
        replace("/dev/COM3", "ttyUSB32");
        QVERIFY(!shadowed());
        replace("/dev/COM3", "sda");
        QVERIFY(!shadowed());
        fs::remove(root + "/dev/COM3");
        QVERIFY(!shadowed() && error.find("missing") != std::string::npos);
        fs::create_directory(root + "/dev/COM3");
        QVERIFY(shadowed());

        replace("/dev/serial/by-path/x", "../../ttyS0/../../../dev/ttyS0");
        QVERIFY(!shadowed());
        fs::remove(root + "/dev/serial/by-path/x");
        fs::create_directories(root + "/dev/serial/by-path/y");
        QVERIFY(!shadowed()); // a directory is no link
        fs::remove_all(root + "/dev/serial");
        QVERIFY(!shadowed() && error.find("/dev/serial") != std::string::npos);
        fs::create_directories(root + "/dev/serial/by-id");
        QVERIFY(shadowed());

        fs::create_directory(root + "/dev/.absent");
        replace("/dev/ttyUSB7", ".absent");
        QVERIFY(shadowed());
        replace("/dev/ttyUSB7", "../.absent");
        QVERIFY(!shadowed() && error.find("ttyUSB7") != std::string::npos);
        replace("/dev/ttyUSB7", ".absent");
        fs::remove(root + "/dev/.absent");
        QVERIFY(!shadowed() && error.find(".absent") != std::string::npos);
        fs::create_directory(root + "/dev/.absent");
        replace("/dev/COM4", ".absent"); // an alias of nothing would be a broken alias, not none
        QVERIFY(!shadowed());
        fs::remove(root + "/dev/COM4");
        fs::create_directory(root + "/dev/COM4");
        QVERIFY(shadowed());

        replace("/dev/ttyACM4", "/dev/ttyACM4"); // to the real device
        QVERIFY(!shadowed() && error.find("ttyACM4") != std::string::npos);
        fs::remove(root + "/dev/ttyACM4");
        fs::create_directory(root + "/dev/ttyACM4");
        fs::remove(root + "/dev/ttyS31");
        QVERIFY(!shadowed() && error.find("ttyS31") != std::string::npos);
        fs::remove_all(root);
    }
};

QTEST_GUILESS_MAIN(TestVirtualMeter)
#include "tst_virtual_meter.moc"
