// The POSIX half of Module1 against ports emulated with umockdev.
//
// Runs under umockdev-wrapper: the preload sends /dev/ttyS0 and /dev/ttyS1 to
// nodes in a testbed, ptys whose ioctls a handler here answers and records.
// A /dev path missing from the testbed goes to the real /dev, and the real
// /dev/ttyS0 is this machine's console: no port is opened unless both nodes
// are in place and the preload is active.

// Before Qt, whose "signals" macro breaks glib's headers.
#include <umockdev.h>

#include "Counting.h"
#include "Module1.h"
#include "Module1Lines.h"
#include "PortGuard.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
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

// One request as an emulated port saw it; bits is the int its argument points
// at, -1 when it has none.
struct Call
{
    int port;
    unsigned long request;
    int bits;
};

// The testbed, what its ports answer and what they were asked.  The handler
// runs on umockdev's own thread, hence the mutex.
struct Testbed
{
    UMockdevTestbed *tb = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    std::string root;
    std::mutex mutex;
    std::vector<Call> calls;
    int lines[2] = {};         // what TIOCMGET reports
    int tiocmgetError[2] = {}; // nonzero: TIOCMGET fails with this errno
    int tiocexclError[2] = {}; // nonzero: TIOCEXCL fails with this errno

    std::string node(int port) const { return root + DevNodes[port]; }
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
    void setPort(int port, int modemLines, int getError = 0, int exclError = 0)
    {
        std::lock_guard lock(mutex);
        lines[port] = modemLines;
        tiocmgetError[port] = getError;
        tiocexclError[port] = exclError;
    }
    bool attach(int port) { return umockdev_testbed_attach_ioctl(tb, DevNodes[port], handler, nullptr); }
    // The emulated port a descriptor is open on, or -1.  By inode: the
    // preload reports no device numbers for testbed nodes.
    int portOf(int fd) const
    {
        struct stat opened, node;
        for (int port = 0; !root.empty() && port < 2; ++port)
            if (::fstat(fd, &opened) == 0 && ::stat(this->node(port).c_str(), &node) == 0 &&
                opened.st_dev == node.st_dev && opened.st_ino == node.st_ino)
                return port;
        return -1;
    }
};

Testbed bed;

gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer)
{
    const int port = std::strcmp(umockdev_ioctl_client_get_devnode(client), DevNodes[1]) == 0 ? 1 : 0;
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    const bool intArg = request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET;
    // Resolving talks to the blocked caller, so it stays outside the lock.
    UMockdevIoctlData *arg =
        intArg ? umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(int), nullptr) : nullptr;
    Call call{port, request, -1};
    int error = 0;
    {
        std::lock_guard lock(bed.mutex);
        if (intArg && !arg) {
            error = EFAULT;
        } else if (request == TIOCMGET) {
            error = bed.tiocmgetError[port];
            if (!error)
                std::memcpy(arg->data, &bed.lines[port], sizeof(int));
        } else if (request == TIOCEXCL) {
            error = bed.tiocexclError[port];
        } else if (intArg) {
            std::memcpy(&call.bits, arg->data, sizeof(int));
        }
        bed.calls.push_back(call);
    }
    umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
    if (arg)
        g_object_unref(arg);
    return TRUE;
}

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

// Requests that read or change the data settings or send a timed break: the
// TCGETS..TCFLSH block, TCSBRKP and the termios2 calls.
bool isTermiosRequest(unsigned long request)
{
    return (request >= TCGETS && request <= TCFLSH) || request == TCSBRKP ||
           (_IOC_TYPE(request) == 'T' && _IOC_NR(request) >= 0x2A && _IOC_NR(request) <= 0x2D);
}

// Open descriptors, once the count stops moving: the preload's sockets are
// accepted and closed on umockdev's thread a moment after their descriptor.
int settledDescriptorCount()
{
    const auto count = [] {
        int entries = 0;
        if (DIR *dir = ::opendir("/proc/self/fd")) {
            while (const dirent *entry = ::readdir(dir))
                entries += entry->d_name[0] != '.';
            ::closedir(dir);
        }
        return entries;
    };
    int last = count();
    for (int unchanged = 0; unchanged < 10;) {
        QThread::msleep(10);
        const int now = count();
        unchanged = now == last ? unchanged + 1 : 0;
        last = now;
    }
    return last;
}

// Named in LD_PRELOAD and really loaded.
bool preloadActive()
{
    const char *preload = std::getenv("LD_PRELOAD");
    QFile maps(QStringLiteral("/proc/self/maps"));
    return preload && std::strstr(preload, "libumockdev-preload") && maps.open(QIODevice::ReadOnly) &&
           maps.readAll().contains("libumockdev-preload");
}

bool testbedInPlace()
{
    struct stat st;
    return bed.tb && preloadActive() && umockdev_in_mock_environment() && ::lstat(bed.node(0).c_str(), &st) == 0 &&
           ::lstat(bed.node(1).c_str(), &st) == 0;
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
    QTemporaryDir lockDir;

private slots:
    void initTestCase()
    {
        if (!preloadActive())
            QFAIL("not running under umockdev-wrapper; refusing to touch any port");
        // UUCP lock files of the emulated ports stay out of the machine's /run/lock.
        QVERIFY(lockDir.isValid());
        Module1::PortGuard::UseLockDirectory(lockDir.path().toStdString());
        bed.tb = umockdev_testbed_new();
        g_autofree gchar *root = umockdev_testbed_get_root_dir(bed.tb);
        bed.root = root;
        QVERIFY(umockdev_testbed_add_from_string(
            bed.tb,
            "P: /devices/ttyS1\nN: ttyS1\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyS1\nA: type=4\n\n"
            "P: /devices/ttyS0\nN: ttyS0\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyS0\nA: type=4\n",
            nullptr));
        QVERIFY2(testbedInPlace(), "the testbed lacks /dev/ttyS0 or /dev/ttyS1; refusing to touch any port");
        struct stat viaPreload, inTestbed; // /dev/ttyS0 must lead to the testbed's node
        QVERIFY(::stat(DevNodes[0], &viaPreload) == 0 && ::stat(bed.node(0).c_str(), &inTestbed) == 0);
        QVERIFY2(viaPreload.st_dev == inTestbed.st_dev && viaPreload.st_ino == inTestbed.st_ino,
                 "/dev/ttyS0 does not lead to the testbed; refusing to touch any port");
        bed.handler = umockdev_ioctl_base_new();
        g_signal_connect(bed.handler, "handle-ioctl", G_CALLBACK(onIoctl), nullptr);
        QVERIFY(bed.attach(0) && bed.attach(1));
    }

    void cleanupTestCase()
    {
        Module1::ClosePort();
        if (bed.tb)
            g_object_unref(std::exchange(bed.tb, nullptr));
        if (bed.handler)
            g_object_unref(bed.handler);
        bed.root.clear();
    }

    void init()
    {
        QVERIFY2(testbedInPlace(), "the testbed is gone; refusing to touch any port");
        bed.setPort(0, 0);
        bed.setPort(1, 0);
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

    void openByName_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("port");
        QTest::newRow("COM1") << QByteArray("COM1") << 0;
        QTest::newRow("COM2") << QByteArray("COM2") << 1;
        QTest::newRow("COM10 is cut to COM1") << QByteArray("COM10") << 0;
        QTest::newRow("COM12345 is cut to COM1") << QByteArray("COM12345") << 0;
        QTest::newRow("COM2xyz is cut to COM2") << QByteArray("COM2xyz") << 1;
    }

    void openByName()
    {
        QFETCH(QByteArray, name);
        QFETCH(int, port);
        QVERIFY(Module1::OpenPort(std::string_view(name.constData(), name.size())) != 0);
        QCOMPARE(bed.portOf(Module1::PortHandle), port);
        const int fdFlags = ::fcntl(Module1::PortHandle, F_GETFD), statusFlags = ::fcntl(Module1::PortHandle, F_GETFL);
        QVERIFY(fdFlags != -1 && (fdFlags & FD_CLOEXEC));
        QVERIFY(statusFlags != -1 && (statusFlags & O_NONBLOCK) && (statusFlags & O_ACCMODE) == O_RDWR);
        for (const Call &call : bed.takeCalls())
            QCOMPARE(call.port, port);
    }

    void unknownNamesFail_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<int>("length");
        QTest::newRow("LPT1") << QByteArray("LPT1") << 4;
        QTest::newRow("COM0") << QByteArray("COM0") << 4;
        QTest::newRow("empty") << QByteArray("") << 0;
        QTest::newRow("CO") << QByteArray("CO") << 2;
        QTest::newRow("COMx") << QByteArray("COMx") << 4;
        QTest::newRow(" COM1") << QByteArray(" COM1") << 5;
        // The view ends before the digit that follows it in memory.
        QTest::newRow("COM, viewed in COM1") << QByteArray("COM1") << 3;
    }

    void unknownNamesFail()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(int, length);
        const int before = settledDescriptorCount();
        QCOMPARE(Module1::OpenPort(std::string_view(buffer.constData(), length)), 0);
        QCOMPARE(Module1::PortHandle, -1);
        QCOMPARE(settledDescriptorCount(), before);
        QVERIFY(bed.takeCalls().empty());
    }

    // Callers close first; a failed open must not leave the old port in use.
    void failedOpenLeavesNoPort()
    {
        QVERIFY(Module1::OpenPort("COM1") != 0);
        auto closeOld = qScopeGuard([old = Module1::PortHandle] { ::close(old); });
        bed.setPort(0, TIOCM_CTS);
        bed.takeCalls();
        QCOMPARE(Module1::OpenPort("LPT1"), 0);
        QCOMPARE(Module1::PortHandle, -1);
        Module1::SetDtr(1);
        QCOMPARE(Module1::ReadCts(), 0);
        QVERIFY(bed.takeCalls().empty());
    }

    void openChecksModemLinesThenExcludes_data()
    {
        QTest::addColumn<int>("tiocexclError");
        QTest::newRow("TIOCEXCL accepted") << 0;
        QTest::newRow("TIOCEXCL refused with EINVAL") << EINVAL;
        QTest::newRow("TIOCEXCL unknown to the driver") << ENOTTY;
    }

    void openChecksModemLinesThenExcludes()
    {
        QFETCH(int, tiocexclError);
        bed.setPort(1, 0, 0, tiocexclError);
        QVERIFY(Module1::OpenPort("COM2") != 0);
        QVERIFY((bed.takeRequests() == std::vector<unsigned long>{TIOCMGET, TIOCEXCL}));
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
        bed.setPort(1, TIOCM_CTS);
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
        QVERIFY2(Module1::OpenPort("COM1") != 0, "the lock on COM2 kept COM1 out");
        Module1::ClosePort();

        QCOMPARE(releaseByClosing ? ::close(std::exchange(holder, -1)) : ::flock(holder, LOCK_UN), 0);
        QVERIFY(Module1::OpenPort("COM2") != 0);
        QCOMPARE(holdPort(1), -1); // now the others are kept out
        Module1::ClosePort();
        const int again = holdPort(1);
        QVERIFY2(again >= 0, "ClosePort did not release the port");
        ::close(again);
    }

    // The node becomes a directory, so the open fails inside the testbed
    // instead of reaching the real /dev.
    void absentPortFails()
    {
        const std::string node = bed.node(1), spare = bed.root + "/dev/absent-ttyS1";
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

    // Without the handler the node is a bare pty, which has no modem lines.
    void deviceWithoutModemLinesFails()
    {
        QVERIFY(umockdev_testbed_detach_ioctl(bed.tb, DevNodes[0], nullptr));
        auto reattach = qScopeGuard([] { bed.attach(0); });
        const int probe = ::open(DevNodes[0], PortFlags);
        int status = 0;
        QVERIFY(probe >= 0);
        QCOMPARE(::ioctl(probe, TIOCMGET, &status) == -1 ? errno : 0, ENOTTY);
        ::close(probe);
        const int before = settledDescriptorCount();
        QCOMPARE(Module1::OpenPort("COM1"), 0);
        QCOMPARE(Module1::PortHandle, -1);
        QCOMPARE(settledDescriptorCount(), before);
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
        bed.setPort(1, lines, tiocmgetError);
        bed.takeCalls();
        QCOMPARE(Module1::ReadCts(), cts);
        QVERIFY(bed.takeRequests() == std::vector<unsigned long>{TIOCMGET});
    }

    // The old descriptor number soon names something else; here another
    // opener's handle on the same port.
    void closedPortIssuesNoIoctl()
    {
        QVERIFY(Module1::OpenPort("COM2") != 0);
        const int old = Module1::PortHandle;
        Module1::ClosePort();
        holder = ::open(DevNodes[1], PortFlags);
        QCOMPARE(holder, old);
        bed.setPort(1, TIOCM_CTS);
        bed.takeCalls();
        for (LineSwitch lineSwitch : LineSwitches) {
            lineSwitch(1);
            lineSwitch(0);
        }
        QCOMPARE(Module1::ReadCts(), 0);
        QVERIFY(bed.takeCalls().empty());
    }

    void closeTwiceSparesAReusedDescriptor()
    {
        QTemporaryDir dir;
        QVERIFY(Module1::OpenPort("COM1") != 0);
        const int old = Module1::PortHandle;
        Module1::ClosePort();
        QVERIFY2(!descriptorValid(old), "ClosePort left the descriptor open");
        const int file = ::open(QFile::encodeName(dir.filePath("log")).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        QVERIFY(file >= 0);
        if (file != old) // normally the lowest free number is the old one
            QVERIFY(::dup3(file, old, O_CLOEXEC) == old && ::close(file) == 0);
        Module1::ClosePort();
        QVERIFY2(descriptorValid(old), "the second ClosePort closed the reused descriptor");
        ::close(old);
    }

    void descriptorCountReturnsAfterCycles()
    {
        const int before = settledDescriptorCount();
        for (int cycle = 0; cycle < 20; ++cycle) {
            QVERIFY(Module1::OpenPort(cycle % 2 ? "COM2" : "COM1") != 0);
            Module1::SetDtr(1);
            Module1::ReadCts();
            Module1::ClosePort();
            Module1::ClosePort();
        }
        QCOMPARE(settledDescriptorCount(), before);
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
        QCOMPARE(logic.End(), 0);
    }

    // The port keeps whatever data settings it has, on every path.
    void termiosIsNeverTouched()
    {
        for (const char *name : {"COM1", "COM2"}) {
            QVERIFY(Module1::OpenPort(name) != 0);
            for (LineSwitch lineSwitch : LineSwitches)
                for (const std::int16_t level : {1, 0, 2})
                    lineSwitch(level);
            Module1::ReadCts();
            Module1::ClosePort();
        }
        QVERIFY((holder = holdPort(1)) >= 0);
        QCOMPARE(Module1::OpenPort("COM2"), 0);
        const std::vector<unsigned long> requests = bed.takeRequests();
        QVERIFY(requests.size() > 20);
        for (unsigned long request : requests)
            QVERIFY2(!isTermiosRequest(request), qPrintable(QString::number(request, 16)));
    }
};

QTEST_GUILESS_MAIN(TestSerialPosix)
#include "tst_serial_posix.moc"
