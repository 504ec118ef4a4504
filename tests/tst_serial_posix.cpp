// The POSIX half of Module1 against ports emulated by the virtual meter's
// testbed.
//
// Runs under umockdev-wrapper: the preload sends /dev/ttyS0 and /dev/ttyS1 to
// the testbed's emulated nodes, whose ioctls the meter's ModemPort answers.
// A hook on each port records every request and injects the faults and line
// states a case needs.  A /dev path missing from the testbed goes to the real
// /dev, and the real /dev/ttyS0 is this machine's console: no port is opened
// unless the testbed check passes.  Module1 takes its UUCP lock files in
// /run/lock; this test, like the program under the meter, sees the testbed's
// own there, in a mount namespace of its own.
#include "Counting.h"
#include "EventLog.h"
#include "LockNamespace.h"
#include "Module1.h"
#include "Module1Lines.h"
#include "TestFiles.h"
#include "Testbed.h"
#include "TestbedCheck.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <stdio.h> // renameat2
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr const char *DevNodes[2] = {"/dev/ttyS0", "/dev/ttyS1"};
constexpr int PortFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
// COM2's UUCP lock file, in the testbed's own /run/lock.
const QString LockFile = QStringLiteral("/run/lock/LCK..ttyS1");

// One request as an emulated port saw it; bits is the int its argument points
// at, -1 when it has none.
struct Call
{
    int port;
    unsigned long request;
    int bits;
};

// What a case makes an emulated port answer.
struct Answers
{
    int lines = 0;         // what TIOCMGET reports
    int tiocmgetError = 0; // nonzero: TIOCMGET fails with this errno
    int tiocexclError = 0; // nonzero: TIOCEXCL fails with this errno
};

// The meter's testbed, what its ports answer and what they were asked.  The
// hooks run on umockdev's own thread, hence the mutex.
struct Bed
{
    std::unique_ptr<vmeter::EventLog> log;
    std::unique_ptr<vmeter::Testbed> testbed;
    std::mutex mutex;
    std::vector<Call> calls;
    Answers answers[2];

    std::string root() const { return testbed ? testbed->Root() : std::string(); }
    std::string node(int port) const { return root() + DevNodes[port]; }
    std::vector<Call> takeCalls()
    {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }
    std::vector<unsigned long> takeRequests()
    {
        std::vector<unsigned long> requests;
        for (const Call &call : takeCalls())
            requests.push_back(call.request);
        return requests;
    }
    void setPort(int port, Answers set)
    {
        std::lock_guard lock(mutex);
        answers[port] = set;
    }
    // Records the request; answers TIOCMGET and TIOCEXCL from the case's
    // settings and leaves the line switches to the meter's emulation.
    std::optional<vmeter::IoctlAnswer> answer(int port, unsigned long request, int argument)
    {
        std::lock_guard lock(mutex);
        calls.push_back({port, request, vmeter::ReadsIntArgument(request) ? argument : -1});
        const Answers &set = answers[port];
        if (request == TIOCMGET) {
            if (set.tiocmgetError != 0)
                return vmeter::IoctlAnswer::Failure(set.tiocmgetError);
            vmeter::IoctlAnswer bits;
            bits.Value = set.lines;
            bits.WriteBack = true;
            return bits;
        }
        if (request == TIOCEXCL && set.tiocexclError != 0)
            return vmeter::IoctlAnswer::Failure(set.tiocexclError);
        return std::nullopt;
    }
    // The emulated port a descriptor is open on, or -1.  By inode: the
    // preload reports no device numbers for testbed nodes.
    int portOf(int fd) const
    {
        struct stat opened, node;
        for (int port = 0; testbed && port < 2; ++port)
            if (::fstat(fd, &opened) == 0 && ::stat(this->node(port).c_str(), &node) == 0 &&
                opened.st_dev == node.st_dev && opened.st_ino == node.st_ino)
                return port;
        return -1;
    }
};

Bed bed;

// glibc's termios functions reach the kernel without calling ioctl(), out of
// the preload's sight.  The definitions below, in the test program, take their
// place and record a call on an emulated port as the request it stands for.
template <typename Function, typename... Args>
int recordTermios(const char *name, unsigned long request, int fd, Args... args)
{
    if (const int port = bed.portOf(fd); port >= 0) {
        std::lock_guard lock(bed.mutex);
        bed.calls.push_back({port, request, -1});
    }
    return reinterpret_cast<Function *>(::dlsym(RTLD_NEXT, name))(fd, args...);
}

// Open descriptors, once the count stops moving: the preload's sockets are
// accepted and closed on umockdev's thread a moment after their descriptor.
int settledDescriptorCount()
{
    // System: the link of a socket or a pipe leads nowhere.
    const auto count = [] {
        return QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size();
    };
    int last = int(count());
    for (int unchanged = 0; unchanged < 10;) {
        QThread::msleep(10);
        const int now = int(count());
        unchanged = now == last ? unchanged + 1 : 0;
        last = now;
    }
    return last;
}

bool descriptorValid(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// Opens a port as another program would and takes its lock; -1 when locked.
int holdPort(int port)
{
    const int fd = ::open(DevNodes[port], PortFlags);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

using LineSwitch = void (*)(std::int16_t);
constexpr LineSwitch LineSwitches[3] = {Module1::SetDtr, Module1::SetRts, Module1::SetBreak};

} // namespace

extern "C" {
int tcgetattr(int fd, termios *t) noexcept { return recordTermios<int(int, termios *)>("tcgetattr", TCGETS, fd, t); }
int tcsetattr(int fd, int when, const termios *t) noexcept
{
    return recordTermios<int(int, int, const termios *)>("tcsetattr", TCSETS, fd, when, t);
}
int tcsendbreak(int fd, int time) noexcept { return recordTermios<int(int, int)>("tcsendbreak", TCSBRK, fd, time); }
int tcflush(int fd, int queue) noexcept { return recordTermios<int(int, int)>("tcflush", TCFLSH, fd, queue); }
}

class TestSerialPosix : public QObject
{
    Q_OBJECT

    int holder = -1; // another opener's descriptor, closed after each test

private slots:
    void initTestCase()
    {
        bed.log = std::make_unique<vmeter::EventLog>(vmeter::MonotonicSeconds());
        bed.testbed = std::make_unique<vmeter::Testbed>(
            *bed.log, std::array{vmeter::ParsePortConfig("present"), vmeter::ParsePortConfig("present"),
                                 vmeter::ParsePortConfig("absent"), vmeter::ParsePortConfig("absent")});
        std::string error;
        QVERIFY2(bed.testbed->Create(error), error.c_str());
        QVERIFY2(vmeter::MountLockDirectory(bed.testbed->LockDirectory(), error), error.c_str());
        QVERIFY2(vmeter::InsideTestbed(error),
                 qPrintable("refusing to touch any port: " + QString::fromStdString(error)));
        struct stat viaPreload, inTestbed; // /dev/ttyS0 must lead to the testbed's node
        QVERIFY(::stat(DevNodes[0], &viaPreload) == 0 && ::stat(bed.node(0).c_str(), &inTestbed) == 0);
        QVERIFY2(viaPreload.st_dev == inTestbed.st_dev && viaPreload.st_ino == inTestbed.st_ino,
                 "/dev/ttyS0 does not lead to the testbed; refusing to touch any port");
        for (int port = 0; port < 2; ++port)
            bed.testbed->Modem(port).SetHook(
                [port](unsigned long request, int argument) { return bed.answer(port, request, argument); });
    }

    void cleanupTestCase()
    {
        Module1::ClosePort();
        bed.testbed.reset();
        bed.log.reset();
    }

    void init()
    {
        std::string why;
        QVERIFY2(bed.testbed && vmeter::InsideTestbed(why), "the testbed is gone; refusing to touch any port");
        bed.setPort(0, {});
        bed.setPort(1, {});
        bed.takeCalls();
    }

    void cleanup()
    {
        Module1::ClosePort();
        if (holder >= 0)
            ::close(std::exchange(holder, -1));
    }

    // First on purpose: the handle must start as "no port", not as 0 (stdin).
    void closeBeforeAnyOpenIsHarmless()
    {
        QCOMPARE(Module1::PortHandle, -1);
        const bool std0 = descriptorValid(0), std1 = descriptorValid(1), std2 = descriptorValid(2);
        const int before = settledDescriptorCount();
        Module1::ClosePort();
        Module1::ClosePort();
        QCOMPARE(Module1::ReadCts(), 0);
        QVERIFY(descriptorValid(0) == std0 && descriptorValid(1) == std1 && descriptorValid(2) == std2);
        QCOMPARE(settledDescriptorCount(), before);
    }

    // port -1: refused, with no descriptor left and no call on any port.  An
    // open checks the modem lines, then asks for exclusive use, which the
    // driver may refuse or not know: the port opens all the same.
    void openByName_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("tiocexclError");
        const auto row = [](const char *name, int port, int tiocexclError = 0, const char *tag = nullptr) {
            QTest::newRow(tag ? tag : name) << QByteArray(name) << int(std::strlen(name)) << port << tiocexclError;
        };
        row("COM1", 0);
        row("COM2", 1);
        row("COM10", 0); // cut to COM1
        row("COM12345", 0);
        row("COM2xyz", 1); // cut to COM2
        row("COM2", 1, EINVAL, "COM2, TIOCEXCL refused with EINVAL");
        row("COM2", 1, ENOTTY, "COM2, TIOCEXCL unknown to the driver");
        for (const char *unknown : {"LPT1", "COM0", "", "CO", "COMx", " COM1"})
            row(unknown, -1);
        // The digit after the view is no part of the name.
        QTest::newRow("COM, viewed in COM1") << QByteArray("COM1") << 3 << -1 << 0;
    }

    void openByName()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(int, length);
        QFETCH(int, port);
        QFETCH(int, tiocexclError);
        bed.setPort(std::max(port, 0), {.tiocexclError = tiocexclError});
        const int before = settledDescriptorCount();
        const int opened = Module1::OpenPort(std::string_view(buffer.constData(), length));
        if (port < 0) {
            QCOMPARE(opened, 0);
            QCOMPARE(Module1::PortHandle, -1);
            QCOMPARE(settledDescriptorCount(), before);
            QVERIFY(bed.takeCalls().empty());
            return;
        }
        QVERIFY(opened != 0);
        QCOMPARE(bed.portOf(Module1::PortHandle), port);
        const int fdFlags = ::fcntl(Module1::PortHandle, F_GETFD), statusFlags = ::fcntl(Module1::PortHandle, F_GETFL);
        QVERIFY(fdFlags != -1 && (fdFlags & FD_CLOEXEC));
        QVERIFY(statusFlags != -1 && (statusFlags & O_NONBLOCK) && (statusFlags & O_ACCMODE) == O_RDWR);
        std::vector<unsigned long> requests;
        for (const Call &call : bed.takeCalls()) {
            QCOMPARE(call.port, port);
            requests.push_back(call.request);
        }
        QVERIFY((requests == std::vector<unsigned long>{TIOCMGET, TIOCEXCL}));
    }

    // Callers close first; a failed open must not leave the old port in use.
    void failedOpenLeavesNoPort()
    {
        QVERIFY(Module1::OpenPort("COM1") != 0);
        auto closeOld = qScopeGuard([old = Module1::PortHandle] { ::close(old); });
        bed.setPort(0, {.lines = TIOCM_CTS});
        bed.takeCalls();
        QCOMPARE(Module1::OpenPort("LPT1"), 0);
        QCOMPARE(Module1::PortHandle, -1);
        Module1::SetDtr(1);
        QCOMPARE(Module1::ReadCts(), 0);
        QVERIFY(bed.takeCalls().empty());
    }

    // A device whose driver has no modem lines (TIOCMGET unknown) is refused,
    // and leaves no descriptor.
    void deviceWithoutModemLinesFails()
    {
        bed.setPort(0, {.tiocmgetError = ENOTTY});
        const int before = settledDescriptorCount();
        QCOMPARE(Module1::OpenPort("COM1"), 0);
        QCOMPARE(Module1::PortHandle, -1);
        QCOMPARE(settledDescriptorCount(), before);
    }

    void exclusiveOpen_data()
    {
        QTest::addColumn<bool>("releaseByClosing");
        QTest::newRow("released with LOCK_UN") << false;
        QTest::newRow("released by closing") << true;
    }

    void exclusiveOpen()
    {
        QFETCH(bool, releaseByClosing);
        QVERIFY((holder = holdPort(1)) >= 0);
        bed.setPort(1, {.lines = TIOCM_CTS});
        bed.takeCalls();
        const int before = settledDescriptorCount();
        QCOMPARE(Module1::OpenPort("COM2"), 0);
        QCOMPARE(Module1::PortHandle, -1);
        // The holder's port is left alone: no TIOCEXCL, no line change.
        for (LineSwitch lineSwitch : LineSwitches)
            lineSwitch(1);
        QCOMPARE(Module1::ReadCts(), 0);
        for (unsigned long request : bed.takeRequests())
            QCOMPARE(request, static_cast<unsigned long>(TIOCMGET));
        QCOMPARE(settledDescriptorCount(), before);
        QVERIFY2(!QFile::exists(LockFile), "the refused open left its lock file");
        QVERIFY2(Module1::OpenPort("COM1") != 0, "the lock on COM2 kept COM1 out");
        Module1::ClosePort();

        QCOMPARE(releaseByClosing ? ::close(std::exchange(holder, -1)) : ::flock(holder, LOCK_UN), 0);
        QVERIFY(Module1::OpenPort("COM2") != 0);
        QCOMPARE(holdPort(1), -1); // now the others are kept out
        QFile lock(LockFile);
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readAll().trimmed(), QByteArray::number(::getpid()));
        Module1::ClosePort();
        QVERIFY2(!QFile::exists(LockFile), "ClosePort left the lock file");
        const int again = holdPort(1);
        QVERIFY2(again >= 0, "ClosePort did not release the port");
        ::close(again);
    }

    // The node becomes a directory, so the open fails inside the testbed
    // instead of reaching the real /dev.
    void absentPortFails()
    {
        const std::string node = bed.node(1), spare = bed.root() + "/dev/absent-ttyS1";
        const auto swap = [&] { return ::renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, node.c_str(), RENAME_EXCHANGE); };
        QCOMPARE(::mkdir(spare.c_str(), 0755), 0);
        QCOMPARE(swap(), 0); // one step: at no moment is the node missing
        auto restore = qScopeGuard([&] { QVERIFY(swap() == 0 && ::rmdir(spare.c_str()) == 0); });
        struct stat st;
        QVERIFY(::lstat(node.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
        const int probe = ::open(DevNodes[1], PortFlags);
        QCOMPARE(probe < 0 ? errno : 0, EISDIR); // the testbed answered, not the real /dev
        // No descriptor count: the preload itself keeps a socket for each
        // failed open(), and a failed open() leaves no descriptor of ours.
        QCOMPARE(Module1::OpenPort("COM2"), 0);
        QCOMPARE(Module1::PortHandle, -1);
        QVERIFY(bed.takeCalls().empty());
        restore.dismiss();
        QVERIFY(swap() == 0 && ::rmdir(spare.c_str()) == 0);
        QVERIFY2(Module1::OpenPort("COM2") != 0, "the port does not open once it is back");
    }

    void lineSwitches_data()
    {
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("level");
        QTest::addColumn<unsigned long>("request");
        QTest::addColumn<int>("bits");
        // 257 has 1 as its low byte; only 1 itself means on.
        for (const int level : {1, 0, -1, 2, 257, 32767, -32768}) {
            const unsigned long bitRequest = level == 1 ? TIOCMBIS : TIOCMBIC;
            const unsigned long breakRequest = level == 1 ? TIOCSBRK : TIOCCBRK;
            QTest::addRow("SetDtr(%d)", level) << 0 << level << bitRequest << TIOCM_DTR;
            QTest::addRow("SetRts(%d)", level) << 1 << level << bitRequest << TIOCM_RTS;
            QTest::addRow("SetBreak(%d)", level) << 2 << level << breakRequest << -1;
        }
    }

    void lineSwitches()
    {
        QFETCH(int, line);
        QFETCH(int, level);
        QFETCH(unsigned long, request);
        QFETCH(int, bits);
        QVERIFY(Module1::OpenPort("COM2") != 0);
        bed.takeCalls();
        LineSwitches[line](static_cast<std::int16_t>(level));
        const std::vector<Call> calls = bed.takeCalls();
        QCOMPARE(calls.size(), size_t(1));
        QCOMPARE(calls[0].port, 1);
        QCOMPARE(calls[0].request, request);
        QCOMPARE(calls[0].bits, bits);
    }

    void readCts_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("tiocmgetError");
        QTest::addColumn<int>("cts");
        QTest::newRow("CTS on") << TIOCM_CTS << 0 << 1;
        QTest::newRow("CTS, DSR, RI and CD on") << (TIOCM_CTS | TIOCM_DSR | TIOCM_RI | TIOCM_CD) << 0 << 1;
        QTest::newRow("all off") << 0 << 0 << 0;
        QTest::newRow("DSR, RI and CD without CTS") << (TIOCM_DSR | TIOCM_RI | TIOCM_CD) << 0 << 0;
        QTest::newRow("every bit but CTS") << ~TIOCM_CTS << 0 << 0;
        QTest::newRow("TIOCMGET fails (adapter pulled)") << TIOCM_CTS << EIO << 0;
    }

    void readCts()
    {
        QFETCH(int, lines);
        QFETCH(int, tiocmgetError);
        QFETCH(int, cts);
        QVERIFY(Module1::OpenPort("COM2") != 0);
        bed.setPort(1, {.lines = lines, .tiocmgetError = tiocmgetError});
        bed.takeCalls();
        QCOMPARE(Module1::ReadCts(), cts);
        QVERIFY(bed.takeRequests() == std::vector<unsigned long>{TIOCMGET});
    }

    // A port lost mid-count is said on stderr once, however many polls fail
    // after it, and again after the next open.
    void lossIsSaidOncePerOpen()
    {
        QTemporaryDir dir;
        const QString saidPath = dir.filePath("stderr");
        const int said = ::open(QFile::encodeName(saidPath).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const int saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        QVERIFY(said >= 0 && saved >= 0 && ::dup2(said, STDERR_FILENO) == STDERR_FILENO);
        ::close(said);
        {
            const auto restore = qScopeGuard([saved] {
                ::dup2(saved, STDERR_FILENO);
                ::close(saved);
            });
            for (int open = 0; open < 2; ++open) {
                bed.setPort(1, {.lines = TIOCM_CTS});
                QVERIFY(Module1::OpenPort("COM2") != 0);
                bed.setPort(1, {.lines = TIOCM_CTS, .tiocmgetError = EIO});
                for (int poll = 0; poll < 3; ++poll)
                    QCOMPARE(Module1::ReadCts(), 0);
                Module1::ClosePort();
            }
        }
        const QByteArray line = QByteArray("kapirel: COM2 (/dev/ttyS1): lost (TIOCMGET: ") + std::strerror(EIO) + ")\n";
        QCOMPARE(ReadFile(saidPath), line + line);
    }

    // The old descriptor number soon names something else, here another
    // opener's handle on the same port: neither a switch, nor a read, nor a
    // second ClosePort touches it.
    void closedPortSparesAReusedDescriptor()
    {
        QVERIFY(Module1::OpenPort("COM2") != 0);
        const int old = Module1::PortHandle;
        Module1::ClosePort();
        QVERIFY2(!descriptorValid(old), "ClosePort left the descriptor open");
        holder = ::open(DevNodes[1], PortFlags);
        QCOMPARE(holder, old); // the lowest free number
        bed.setPort(1, {.lines = TIOCM_CTS});
        bed.takeCalls();
        for (LineSwitch lineSwitch : LineSwitches) {
            lineSwitch(1);
            lineSwitch(0);
        }
        QCOMPARE(Module1::ReadCts(), 0);
        Module1::ClosePort();
        QVERIFY2(descriptorValid(old), "the second ClosePort closed the reused descriptor");
        QVERIFY(bed.takeCalls().empty());
    }

    // The counting logic's switch on the real ports: a thousand switches
    // back and forth leave no descriptor behind, and a held port leaves none open.
    void switchingLeavesNoDescriptor()
    {
        struct NoticeCounter : counting::Form1Operations
        {
            int Notices = 0;
            void SetText1(const std::string &) override {}
            void MarkOption1() override {}
            void MarkOption2() override {}
            void SetTimer1Interval(int) override {}
            void ShowNotice(const std::string &) override { ++Notices; }
        } form;
        QTemporaryDir logDir;
        Module1Lines port;
        counting::Logic logic(form, port, counting::LocalTimeOfDay, logDir.filePath("NAMERENO.TXT").toStdString());
        logic.Load();
        QVERIFY(Module1::PortHandle >= 0);
        const int before = settledDescriptorCount();
        for (int choice = 0; choice < 1000; ++choice)
            choice % 2 ? logic.Option2Chosen() : logic.Option1Chosen();
        QCOMPARE(form.Notices, 0);
        QCOMPARE(settledDescriptorCount(), before);

        const int holder = holdPort(0);
        QVERIFY(holder >= 0);
        logic.Option1Chosen();
        QCOMPARE(form.Notices, 1);
        QCOMPARE(Module1::PortHandle, -1);
        // The holder's descriptor stands where the port's was.
        QCOMPARE(settledDescriptorCount(), before);
        ::close(holder);
        QCOMPARE(logic.End().Status, 0);
    }

    // Open and close cycles on both ports, every switch and a read in each,
    // leave no descriptor behind, and the port keeps whatever data settings it
    // has, on every path, a refused open's too.
    void cyclesLeaveNoDescriptorAndNoTermios()
    {
        const int before = settledDescriptorCount();
        for (int cycle = 0; cycle < 20; ++cycle) {
            QVERIFY(Module1::OpenPort(cycle % 2 ? "COM2" : "COM1") != 0);
            for (LineSwitch lineSwitch : LineSwitches)
                for (const std::int16_t level : {1, 0, 2})
                    lineSwitch(level);
            Module1::ReadCts();
            Module1::ClosePort();
            Module1::ClosePort();
        }
        QCOMPARE(settledDescriptorCount(), before);
        QVERIFY((holder = holdPort(1)) >= 0);
        QCOMPARE(Module1::OpenPort("COM2"), 0);
        const std::vector<unsigned long> requests = bed.takeRequests();
        QVERIFY(requests.size() > 20);
        for (unsigned long request : requests)
            QVERIFY2(vmeter::ClassifyRequest(request) != vmeter::RequestKind::Termios,
                     qPrintable(QString::number(request, 16)));
    }
};

int main(int argc, char **argv)
{
    // Without root, in a user namespace, which only a single thread may enter.
    std::string error;
    if (!vmeter::EnterOwnMountNamespace(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    QCoreApplication app(argc, argv);
    TestSerialPosix test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_serial_posix.moc"
