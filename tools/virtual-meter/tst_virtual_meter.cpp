// Unit tests of the virtual meter's waveform, port descriptions, modem
// ioctl emulation and testbed check.  Plain checks, no framework: prints each failure and the
// totals, exits non-zero on any failure.
#include "ModemPort.h"
#include "PortConfig.h"
#include "TestbedCheck.h"
#include "Waveform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int Passed = 0;
int Failed = 0;

void Check(bool condition, const char *what, int line)
{
    if (condition) {
        ++Passed;
        return;
    }
    ++Failed;
    std::printf("FAIL line %d: %s\n", line, what);
}

#define CHECK(condition) Check((condition), #condition, __LINE__)

bool Throws(const std::string &text)
{
    try {
        vmeter::ParsePortConfig(text);
    } catch (const vmeter::ConfigError &) {
        return true;
    }
    return false;
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

void PeriodicWave()
{
    vmeter::Waveform wave;
    wave.PeriodMs = 500; // 2 Hz
    wave.DutyPercent = 50;
    wave.DelayMs = 1000;
    wave.Pulses = 3;
    CHECK(wave.LevelAt(0) == 0);
    CHECK(wave.LevelAt(999.9) == 0);
    CHECK(wave.LevelAt(1000) == 1); // the first pulse starts on the delay
    CHECK(wave.LevelAt(1249.9) == 1);
    CHECK(wave.LevelAt(1250) == 0); // 50 % of 500 ms
    CHECK(wave.LevelAt(1500) == 1); // second pulse
    CHECK(wave.LevelAt(2000) == 1); // third pulse
    CHECK(wave.LevelAt(2250) == 0);
    CHECK(wave.LevelAt(2500) == 0); // no fourth pulse
    CHECK(wave.LevelAt(1e9) == 0);
    CHECK(wave.EndMs() && *wave.EndMs() == 2500);
    CHECK(RisingEdges(wave, 10000) == 3);
}

void DutyAndEndless()
{
    vmeter::Waveform wave;
    wave.PeriodMs = 100;
    wave.DutyPercent = 20;
    CHECK(wave.LevelAt(0) == 1);
    CHECK(wave.LevelAt(19.9) == 1);
    CHECK(wave.LevelAt(20) == 0);
    CHECK(wave.LevelAt(99.9) == 0);
    CHECK(wave.LevelAt(100) == 1);
    CHECK(!wave.EndMs());
    CHECK(RisingEdges(wave, 1000, 0.5) == 10); // the pulse at 0 is the start level, not an edge
    CHECK(wave.LevelAt(3600000.0 + 10) == 1);  // an hour later still on the grid
}

void IdleHigh()
{
    // CTS on at the start: each pulse is an off phase followed by on again.
    vmeter::Waveform wave;
    wave.Idle = 1;
    wave.PeriodMs = 200;
    wave.DelayMs = 100;
    wave.Pulses = 4;
    CHECK(wave.LevelAt(0) == 1);
    CHECK(wave.LevelAt(100) == 0);
    CHECK(wave.LevelAt(200) == 1);
    CHECK(wave.LevelAt(5000) == 1);
    CHECK(RisingEdges(wave, 5000) == 4);
}

void NoPulses()
{
    vmeter::Waveform wave;
    CHECK(wave.LevelAt(0) == 0 && wave.LevelAt(1e6) == 0);
    CHECK(wave.EndMs() && *wave.EndMs() == 0);
    wave.Idle = 1;
    CHECK(wave.LevelAt(5) == 1);
    wave.PeriodMs = 100;
    wave.Pulses = 0;
    CHECK(wave.LevelAt(5) == 1 && RisingEdges(wave, 1000) == 0);
}

void Steps()
{
    vmeter::Waveform wave;
    wave.Steps = {{0, 0}, {100, 1}, {140, 0}, {300, 1}};
    CHECK(wave.LevelAt(99) == 0);
    CHECK(wave.LevelAt(100) == 1);
    CHECK(wave.LevelAt(139) == 1);
    CHECK(wave.LevelAt(140) == 0);
    CHECK(wave.LevelAt(300) == 1 && wave.LevelAt(1e6) == 1);
    CHECK(wave.EndMs() && *wave.EndMs() == 300);
    vmeter::Waveform late;
    late.Idle = 1;
    late.Steps = {{50, 0}};
    CHECK(late.LevelAt(0) == 1 && late.LevelAt(50) == 0);
}

void Parsing()
{
    using vmeter::ParsePortConfig;
    using vmeter::PortKind;
    const auto full = ParsePortConfig("present,hz=2,duty=25,pulses=600,delay=500,idle=1,origin=open,remove=3000");
    CHECK(full.Kind == PortKind::Present);
    CHECK(full.Cts.PeriodMs == 500);
    CHECK(full.Cts.DutyPercent == 25);
    CHECK(full.Cts.Pulses && *full.Cts.Pulses == 600);
    CHECK(full.Cts.DelayMs == 500);
    CHECK(full.Cts.Idle == 1);
    CHECK(full.TimeOrigin == vmeter::Origin::Open);
    CHECK(full.RemoveMs && *full.RemoveMs == 3000);
    CHECK(!full.Held);

    const auto endless = ParsePortConfig("present,period=250,pulses=inf");
    CHECK(endless.Cts.PeriodMs == 250 && !endless.Cts.Pulses);
    CHECK(ParsePortConfig("present").Cts.PeriodMs == 0);
    CHECK(ParsePortConfig("absent").Kind == PortKind::Absent);
    CHECK(ParsePortConfig("notserial").Kind == PortKind::NotSerial);
    const auto held = ParsePortConfig("held");
    CHECK(held.Held && held.Kind == PortKind::Present);
    CHECK(ParsePortConfig("present,hz=1,held").Held);
    CHECK(ParsePortConfig("notserial,held").Held);
    const auto steps = ParsePortConfig("present,steps=0:0;100:1;140:off");
    CHECK(steps.Cts.Steps.size() == 3 && steps.Cts.Steps[1].first == 100 && steps.Cts.Steps[1].second == 1);

    CHECK(Throws(""));
    CHECK(Throws("sometimes"));
    CHECK(Throws("hz=2")); // no kind
    CHECK(Throws("present,hz=0"));
    CHECK(vmeter::ParsePortConfig("present,socket=3").Socket == 3);
    CHECK(vmeter::ParsePortConfig("notserial,socket=15").Socket == 15);
    CHECK(vmeter::ParsePortConfig("present").Socket == 0);
    CHECK(Throws("present,socket=0"));
    CHECK(Throws("present,socket=16"));
    CHECK(Throws("present,socket=2.5"));
    CHECK(Throws("absent,socket=2"));
    CHECK(Throws("present,hz=-1"));
    CHECK(Throws("present,hz=abc"));
    CHECK(Throws("present,duty=0"));
    CHECK(Throws("present,duty=100"));
    CHECK(Throws("present,pulses=2.5"));
    CHECK(Throws("present,pulses=5")); // pulses need a rate
    CHECK(Throws("present,delay=-1"));
    CHECK(Throws("present,idle=2"));
    CHECK(Throws("present,hz=1,hz=2"));
    CHECK(Throws("present,hz=1,steps=0:1"));
    CHECK(Throws("present,steps=10:1;5:0"));
    CHECK(Throws("present,steps=10"));
    CHECK(Throws("present,origin=later"));
    CHECK(Throws("absent,hz=2"));
    CHECK(Throws("absent,held"));
    CHECK(Throws("notserial,hz=2"));
    CHECK(Throws("hz=2,present"));
    CHECK(Throws("present,bogus"));
}

void Emulation()
{
    using vmeter::ModemPort;
    ModemPort port("/dev/ttyS1", vmeter::ParsePortConfig("present,period=100,duty=50,delay=1000,pulses=2"));
    CHECK(!port.Opened(10)); // origin=start was set at construction
    // Linux raises DTR and RTS on open.
    auto answer = port.Ioctl(TIOCMGET, 0, 20);
    CHECK(answer.Emulated && answer.Result == 0 && answer.WriteBack);
    CHECK(answer.Value && *answer.Value == (TIOCM_DTR | TIOCM_RTS));

    CHECK(port.Ioctl(TIOCCBRK, 0, 21).Result == 0);
    answer = port.Ioctl(TIOCMBIS, TIOCM_DTR, 22);
    CHECK(answer.Result == 0 && answer.Value && *answer.Value == TIOCM_DTR && !answer.WriteBack);
    CHECK(port.Ioctl(TIOCMBIC, TIOCM_RTS, 23).Result == 0);
    CHECK(port.Lines(24).Dtr && !port.Lines(24).Rts && !port.Lines(24).Break);
    CHECK(port.Ioctl(TIOCSBRK, 0, 25).Result == 0 && port.Lines(25).Break);
    CHECK(port.Ioctl(TIOCEXCL, 0, 26).Result == 0);

    answer = port.Ioctl(TIOCMGET, 0, 1010);
    CHECK(answer.Value && *answer.Value == (TIOCM_DTR | TIOCM_CTS));
    answer = port.Ioctl(TIOCMGET, 0, 1060);
    CHECK(answer.Value && *answer.Value == TIOCM_DTR);
    CHECK(port.Ioctl(TIOCMSET, TIOCM_RTS, 1070).Result == 0);
    CHECK(!port.Lines(1070).Dtr && port.Lines(1070).Rts);

    // termios goes to the pty; unknown requests fail as on a UART driver.
    CHECK(!port.Ioctl(TCGETS, 0, 1100).Emulated);
    answer = port.Ioctl(TIOCGSERIAL, 0, 1100);
    CHECK(answer.Emulated && answer.Result == -1 && answer.Error == ENOTTY);

    // The last close hangs up: DTR, RTS and break drop.
    port.Closed(1200);
    CHECK(!port.Lines(1200).Dtr && !port.Lines(1200).Rts && !port.Lines(1200).Break);
}

void OpenOriginAndRemoval()
{
    using vmeter::ModemPort;
    ModemPort port("/dev/ttyS0", vmeter::ParsePortConfig("present,steps=100:1;200:0,origin=open,remove=500"));
    CHECK(!port.OriginMs());
    CHECK(port.Lines(5000).Cts == 0);
    CHECK(port.Opened(5000));
    CHECK(!port.Opened(5001)); // a second open keeps the origin
    CHECK(port.OriginMs() && *port.OriginMs() == 5000);
    CHECK(port.Lines(5150).Cts == 1);
    auto answer = port.Ioctl(TIOCMGET, 0, 5150);
    CHECK(answer.Value && (*answer.Value & TIOCM_CTS) != 0);
    answer = port.Ioctl(TIOCMGET, 0, 5500);
    CHECK(answer.Result == -1 && answer.Error == EIO && answer.Emulated);
    answer = port.Ioctl(TIOCMBIC, TIOCM_DTR, 5600);
    CHECK(answer.Result == -1 && answer.Error == EIO && answer.Value && *answer.Value == TIOCM_DTR);
    CHECK(port.Ioctl(TCGETS, 0, 5600).Error == EIO);
}

void SignalOrigin()
{
    vmeter::ModemPort port("/dev/ttyS1", vmeter::ParsePortConfig("present,hz=10,pulses=1,origin=usr2"));
    CHECK(!port.Opened(100));                          // an open does not start it
    CHECK(!port.Triggered(vmeter::Origin::Usr1, 200)); // nor the other signal
    CHECK(port.Lines(250).Cts == 0);
    CHECK(port.Triggered(vmeter::Origin::Usr2, 300));
    CHECK(!port.Triggered(vmeter::Origin::Usr2, 400)); // the first one counts
    CHECK(port.OriginMs() && *port.OriginMs() == 300);
    CHECK(port.Lines(310).Cts == 1 && port.Lines(360).Cts == 0);
    CHECK(vmeter::ParsePortConfig("present,origin=usr1").TimeOrigin == vmeter::Origin::Usr1);
}

void NotSerial()
{
    vmeter::ModemPort port("/dev/ttyS1", vmeter::ParsePortConfig("notserial"));
    port.Opened(0);
    for (const unsigned long request : {TIOCMGET, TIOCMBIS, TIOCMBIC, TIOCSBRK, TIOCCBRK}) {
        const auto answer = port.Ioctl(request, TIOCM_DTR, 10);
        CHECK(answer.Emulated && answer.Result == -1 && answer.Error == ENOTTY);
    }
    CHECK(!port.Ioctl(TCGETS, 0, 10).Emulated);
    CHECK(!port.Ioctl(TIOCEXCL, 0, 10).Emulated);
}

void Names()
{
    CHECK(vmeter::RequestName(TIOCMGET) == "TIOCMGET");
    CHECK(vmeter::RequestName(TIOCCBRK) == "TIOCCBRK");
    CHECK(vmeter::RequestName(0x12345678) == "0x12345678");
    CHECK(vmeter::ModemBitsJson(TIOCM_DTR | TIOCM_CTS) == "[\"DTR\",\"CTS\"]");
    CHECK(vmeter::ModemBitsJson(0) == "[]");
}

// A testbed directory as the meter leaves it, then broken one way at a time.
void Shadowing()
{
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/vmeter-shadow-XXXXXX";
    const char *made = ::mkdtemp(pattern);
    CHECK(made != nullptr);
    if (made == nullptr)
        return;
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
    CHECK(shadowed());
    replace("/dev/ttyUSB0", "/dev/pts/7");
    replace("/dev/COM2", "ttyUSB0");
    replace("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", "../../ttyUSB0");
    CHECK(shadowed());

    replace("/dev/COM3", "/dev/ttyUSB0"); // an absolute link could leave the testbed
    CHECK(!shadowed() && error.find("/dev/COM3") != std::string::npos);
    replace("/dev/COM3", "ttyUSB32");
    CHECK(!shadowed());
    replace("/dev/COM3", "sda");
    CHECK(!shadowed());
    fs::remove(root + "/dev/COM3");
    CHECK(!shadowed() && error.find("missing") != std::string::npos);
    fs::create_directory(root + "/dev/COM3");
    CHECK(shadowed());

    replace("/dev/serial/by-path/x", "../../ttyS0/../../../dev/ttyS0");
    CHECK(!shadowed());
    fs::remove(root + "/dev/serial/by-path/x");
    fs::create_directories(root + "/dev/serial/by-path/y");
    CHECK(!shadowed()); // a directory is no link
    fs::remove_all(root + "/dev/serial");
    CHECK(!shadowed() && error.find("/dev/serial") != std::string::npos);
    fs::create_directories(root + "/dev/serial/by-id");
    CHECK(shadowed());

    fs::create_directory(root + "/dev/.absent");
    replace("/dev/ttyUSB7", ".absent");
    CHECK(shadowed());
    replace("/dev/ttyUSB7", "../.absent");
    CHECK(!shadowed() && error.find("ttyUSB7") != std::string::npos);
    replace("/dev/ttyUSB7", ".absent");
    fs::remove(root + "/dev/.absent");
    CHECK(!shadowed() && error.find(".absent") != std::string::npos);
    fs::create_directory(root + "/dev/.absent");
    replace("/dev/COM4", ".absent"); // an alias of nothing would be a broken alias, not none
    CHECK(!shadowed());
    fs::remove(root + "/dev/COM4");
    fs::create_directory(root + "/dev/COM4");
    CHECK(shadowed());

    replace("/dev/ttyACM4", "/dev/ttyACM4"); // to the real device
    CHECK(!shadowed() && error.find("ttyACM4") != std::string::npos);
    fs::remove(root + "/dev/ttyACM4");
    fs::create_directory(root + "/dev/ttyACM4");
    fs::remove(root + "/dev/ttyS31");
    CHECK(!shadowed() && error.find("ttyS31") != std::string::npos);
    fs::remove_all(root);
}

} // namespace

int main()
{
    PeriodicWave();
    DutyAndEndless();
    IdleHigh();
    NoPulses();
    Steps();
    Parsing();
    Emulation();
    OpenOriginAndRemoval();
    SignalOrigin();
    NotSerial();
    Names();
    Shadowing();
    std::printf("%d passed, %d failed\n", Passed, Failed);
    return Failed == 0 ? 0 : 1;
}
