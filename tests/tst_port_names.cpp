// Linux's port names and the checks before open(), without any port: the
// rule over described machines, lock files in a scratch directory (also as
// another user), the console list, and the /proc scan and the refused open
// against a pty pair made here.
#include "InChild.h"
#include "PortBackend.h"
#include "PortGuard.h"
#include "PortNames.h"
#include "TestFiles.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace Module1;

namespace {

// "ttyS0=4 ttyUSB0@pci-0000:00:14.0-usb-0:2:1.0-port0 ttyACM0=cdc_acm COM2>ttyUSB1 COM3>"
// describes a machine: an on-board port with its UART type, USB adapters
// with their driver, if any, and their by-path links (any number, '@' before
// each), aliases with the device they lead to (nothing after '>': a dangling
// alias).
PortNames::Inventory Machine(const QString &description)
{
    PortNames::Inventory inventory;
    for (const QString &word : description.split(' ', Qt::SkipEmptyParts)) {
        if (word.startsWith("COM")) {
            const QStringList parts = word.split('>');
            inventory.Aliases[parts[0].mid(3).toInt()] = parts.value(1).toStdString();
        } else if (word.startsWith("ttyS")) {
            const QStringList parts = word.split('=');
            inventory.OnBoard[parts[0].mid(4).toInt()] = parts.value(1).toInt();
        } else {
            QStringList parts = word.split('@');
            const QStringList adapter = parts.takeFirst().split('=');
            auto &links = inventory.Usb[adapter[0].toStdString()];
            if (adapter.size() > 1)
                inventory.Drivers[adapter[0].toStdString()] = adapter[1].toStdString();
            for (const QString &link : parts)
                links.push_back(link.toStdString());
        }
    }
    return inventory;
}

// "COM1=/dev/ttyS0 COM2=/dev/COM2->/dev/ttyUSB1 COM3=-" for COM1..COM3.
QString Names(const PortNames::Inventory &inventory)
{
    QStringList names;
    for (int number = 1; number <= 3; ++number) {
        const PortNames::Choice choice = PortNames::PortDevice(number, inventory);
        QString text = choice.Alias.empty() ? QString() : QString::fromStdString(choice.Alias) + "->";
        text += choice.Device.empty() ? QStringLiteral("-") : QString::fromStdString(choice.Device);
        names << QStringLiteral("COM%1=%2").arg(number).arg(text);
    }
    return names.join(' ');
}

QByteArray LockText(pid_t pid)
{
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

// The old binary form: the PID's four bytes as they lie in memory.
QByteArray BinaryLockText(std::int32_t pid) { return {reinterpret_cast<const char *>(&pid), sizeof pid}; }

// The PID of a process that has ended and been reaped.
pid_t GonePid()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

// A live process of a user other than the one a test checks locks as: this
// one when it is root (the child drops to nobody), else init.
pid_t OtherUsersPid() { return ::geteuid() == 0 ? ::getpid() : 1; }

} // namespace

class TestPortNames : public QObject
{
    Q_OBJECT

    QTemporaryDir lockDir;
    pid_t holder = 0; // a child process that holds a pty open

    QString lockPath(const char *device) const { return lockDir.filePath(QStringLiteral("LCK..") + device); }

    void endHolder()
    {
        if (holder > 0) {
            ::kill(holder, SIGKILL);
            ::waitpid(holder, nullptr, 0);
            holder = 0;
        }
    }

private slots:
    void cleanup()
    {
        endHolder();
        for (const QString &name : QDir(lockDir.path()).entryList(QDir::Files))
            QFile::remove(lockDir.filePath(name));
    }

    // The row's name is the port name.
    void portNumbers_data()
    {
        QTest::addColumn<int>("number");
        const std::pair<const char *, int> rows[] = {{"COM1", 1}, {"COM2", 2}, {"COM9", 9}, {"COM0", 0},
                                                     {"COMx", 0}, {"LPT1", 0}, {"COM", 0},  {"com1", 0}};
        for (const auto &[name, number] : rows)
            QTest::newRow(name) << number;
    }

    void portNumbers()
    {
        QFETCH(int, number);
        QCOMPARE(PortNames::PortNumber(QTest::currentDataTag()), number);
    }

    void rule_data()
    {
        QTest::addColumn<QString>("machine");
        QTest::addColumn<QString>("names");
        const auto row = [](const char *name, const QString &machine, const char *names) {
            QTest::newRow(name) << machine << QString(names);
        };
        const QString socket2 = "@pci-0000:00:14.0-usb-0:2:1.0-port0";
        const QString socket10 = "@pci-0000:00:14.0-usb-0:10:1.0-port0";
        row("nothing", "", "COM1=- COM2=- COM3=-");
        row("two on-board UARTs", "ttyS0=4 ttyS1=4 ttyS2=0 ttyS3=0", "COM1=/dev/ttyS0 COM2=/dev/ttyS1 COM3=-");
        row("one USB adapter, no on-board UART", "ttyS0=0 ttyS1=0 ttyS2=0 ttyS3=0 ttyUSB0" + socket2,
            "COM1=/dev/ttyUSB0 COM2=- COM3=-");
        row("on-board first, then the adapter", "ttyS0=4 ttyS1=0 ttyUSB0" + socket2,
            "COM1=/dev/ttyS0 COM2=/dev/ttyUSB0 COM3=-");
        row("a gap in the on-board numbers", "ttyS0=0 ttyS1=0 ttyS2=0 ttyS3=4 ttyS10=4",
            "COM1=/dev/ttyS3 COM2=/dev/ttyS10 COM3=-");
        row("adapters by socket, not by name, socket 10 after socket 2", "ttyUSB0" + socket10 + " ttyUSB1" + socket2,
            "COM1=/dev/ttyUSB1 COM2=/dev/ttyUSB0 COM3=-");
        row("a cdc_acm device, whose CTS cannot be read, gets no number",
            "ttyUSB0" + socket10 + " ttyACM0=cdc_acm" + socket2 + " ttyUSB1=pl2303",
            "COM1=/dev/ttyUSB0 COM2=/dev/ttyUSB1 COM3=-");
        row("an alias to a cdc_acm device still takes its number", "ttyS0=4 ttyACM0=cdc_acm COM2>ttyACM0",
            "COM1=/dev/ttyS0 COM2=/dev/COM2->/dev/ttyACM0 COM3=-");
        row("an adapter with two links counts once, by its first",
            "ttyUSB0@pci-0000:00:14.0-usbv2-0:3:1.0-port0@pci-0000:00:14.0-usb-0:3:1.0-port0 ttyUSB1" + socket2,
            "COM1=/dev/ttyUSB1 COM2=/dev/ttyUSB0 COM3=-");
        row("adapters without a by-path link last, by name", "ttyUSB10 ttyUSB9 ttyUSB3" + socket2,
            "COM1=/dev/ttyUSB3 COM2=/dev/ttyUSB9 COM3=/dev/ttyUSB10");
        row("an alias takes its number", "ttyS0=4 ttyUSB0" + socket2 + " ttyUSB1" + socket10 + " COM2>ttyUSB1",
            "COM1=/dev/ttyS0 COM2=/dev/COM2->/dev/ttyUSB1 COM3=/dev/ttyUSB0");
        row("an alias moves the port it names out of the rule", "ttyS0=4 ttyUSB0" + socket2 + " COM1>ttyUSB0",
            "COM1=/dev/COM1->/dev/ttyUSB0 COM2=/dev/ttyS0 COM3=-");
        row("an alias may name an on-board port the rule skips", "ttyS0=4 ttyS1=0 COM2>ttyS1",
            "COM1=/dev/ttyS0 COM2=/dev/COM2->/dev/ttyS1 COM3=-");
        row("a dangling alias still takes its number", "ttyS0=4 ttyS1=4 COM1>",
            "COM1=/dev/COM1->- COM2=/dev/ttyS0 COM3=/dev/ttyS1");
    }

    void rule()
    {
        QFETCH(QString, machine);
        QFETCH(QString, names);
        QCOMPARE(Names(Machine(machine)), names);
    }

    void naturalOrder()
    {
        QVERIFY(PortNames::NaturalLess("ttyUSB9", "ttyUSB10"));
        QVERIFY(!PortNames::NaturalLess("ttyUSB10", "ttyUSB9"));
        QVERIFY(PortNames::NaturalLess("usb-0:2:1.0", "usb-0:10:1.0"));
        QVERIFY(PortNames::NaturalLess("ttyACM0", "ttyUSB0"));
        QVERIFY(!PortNames::NaturalLess("ttyS1", "ttyS1"));
        QVERIFY(PortNames::NaturalLess("ttyS01", "ttyS1") != PortNames::NaturalLess("ttyS1", "ttyS01"));
    }

    void linkTargets_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("joined");
        const auto row = [](const char *name, const char *link, const char *target, const char *joined) {
            QTest::newRow(name) << QString(link) << QString(target) << QString(joined);
        };
        row("udev alias", "/dev/COM2", "ttyUSB0", "/dev/ttyUSB0");
        row("by-path link", "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "../../ttyUSB0", "/dev/ttyUSB0");
        row("absolute", "/dev/COM1", "/dev/serial/by-id/usb-x", "/dev/serial/by-id/usb-x");
        row("dots", "/dev/COM1", "./a/../ttyS0", "/dev/ttyS0");
        row("above the root", "/dev/COM1", "../../../ttyS0", "/ttyS0");
    }

    void linkTargets()
    {
        QFETCH(QString, link);
        QFETCH(QString, target);
        QFETCH(QString, joined);
        QCOMPARE(QString::fromStdString(PortNames::JoinLinkTarget(link.toStdString(), target.toStdString())), joined);
    }

    void lockOwnerForms_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("owner");
        QTest::newRow("ten digits and a newline") << LockText(4242) << 4242;
        QTest::newRow("digits without padding") << QByteArray("4242\n") << 4242;
        QTest::newRow("four ASCII bytes") << QByteArray("123\n") << 123;
        QTest::newRow("binary") << BinaryLockText(4242) << 4242;
        QTest::newRow("binary whose bytes start like \"90\"") << BinaryLockText(0x3039) << 0x3039;
        QTest::newRow("binary whose bytes start like \" 0\"") << BinaryLockText(0x302020) << 0x302020;
        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("garbled") << QByteArray("kermit\n") << 0;
        QTest::newRow("zero") << LockText(0) << 0;
        QTest::newRow("negative") << LockText(-5) << 0;
    }

    void lockOwnerForms()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, owner);
        WriteFile(lockPath("ttyS1"), text);
        QCOMPARE(PortGuard::LockOwner(lockPath("ttyS1").toStdString()), owner);
        QCOMPARE(PortGuard::LockOwner(lockPath("ttyS2").toStdString()), -1);
    }

    // No lock yet, or one that holds nothing: ours is taken in its place,
    // with no temporary file left, and released.  A live process's lock, in
    // either form, refuses the port and stays.
    void takeLock_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("owner");             // of the lock that refuses; 0 when ours is taken
        const pid_t other = ::getppid();            // alive for as long as this test runs
        QTest::newRow("none") << QByteArray() << 0; // null: no file
        QTest::newRow("its process is gone") << LockText(GonePid()) << 0;
        QTest::newRow("empty") << QByteArray("") << 0;
        QTest::newRow("garbled") << QByteArray("kermit\n") << 0;
        QTest::newRow("our own leftover") << LockText(::getpid()) << 0;
        QTest::newRow("live, ten ASCII digits") << LockText(other) << int(other);
        QTest::newRow("live, a 4-byte binary PID") << BinaryLockText(other) << int(other);
    }

    void takeLock()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, owner);
        if (!text.isNull())
            WriteFile(lockPath("ttyS1"), text);
        const PortGuard::LockResult lock = PortGuard::TakeLock(lockDir.path().toStdString(), "ttyS1");
        using State = PortGuard::LockResult::State;
        QVERIFY(lock.Result == (owner != 0 ? State::Locked : State::Taken));
        QCOMPARE(lock.Owner, owner);
        QCOMPARE(QString::fromStdString(lock.Path), lockPath("ttyS1"));
        const QByteArray held = owner != 0 ? text : LockText(::getpid());
        QCOMPARE(ReadFile(lockPath("ttyS1")), held);
        QCOMPARE(QDir(lockDir.path()).entryList(QDir::Files), QStringList{"LCK..ttyS1"});
        PortGuard::ReleaseLock(lock.Path);
        QCOMPARE(ReadFile(lockPath("ttyS1")), owner != 0 ? held : QByteArray("(missing)"));
    }

    // Another program's lock appearing after ours was released is left alone.
    void releaseSparesAnotherProgramsLock()
    {
        const PortGuard::LockResult lock = PortGuard::TakeLock(lockDir.path().toStdString(), "ttyS0");
        QVERIFY(lock.Result == PortGuard::LockResult::State::Taken);
        WriteFile(lockPath("ttyS0"), LockText(::getppid()));
        PortGuard::ReleaseLock(lock.Path);
        QCOMPARE(ReadFile(lockPath("ttyS0")), LockText(::getppid()));
    }

    void noLockDirectoryMeansNoLock()
    {
        const PortGuard::LockResult lock = PortGuard::TakeLock(lockDir.filePath("missing").toStdString(), "ttyS1");
        QVERIFY(lock.Result == PortGuard::LockResult::State::NotWritable);
        QVERIFY(PortGuard::TakeLock("", "ttyS1").Result == PortGuard::LockResult::State::NotWritable);
    }

    void processAlive()
    {
        QVERIFY(PortGuard::ProcessAlive(::getpid()));
        QVERIFY(PortGuard::ProcessAlive(1)); // init: EPERM for a user, alive all the same
        QVERIFY(!PortGuard::ProcessAlive(GonePid()));
        QVERIFY(!PortGuard::ProcessAlive(0));
        QVERIFY(!PortGuard::ProcessAlive(-1));
    }

    // Another user's lock holds the port, seen as nobody (as root) or as this
    // user: kill(pid, 0) answers EPERM for another user's live process, and a
    // lock file of mode 000 tells no PID at all.  Either way the lock stays.
    // The device does not exist: a lock taken for no lock would reach open().
    void anotherUsersLockRefuses_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a live process's") << 0644 << QStringLiteral("locked by PID %1").arg(OtherUsersPid());
        QTest::newRow("unreadable") << 0
                                    << QStringLiteral("locked (%1: %2)").arg(lockPath("ttyUSB7"), strerror(EACCES));
    }

    void anotherUsersLockRefuses()
    {
        QFETCH(int, mode);
        QFETCH(QString, reason);
        const pid_t owner = OtherUsersPid();
        const QByteArray file = QFile::encodeName(lockPath("ttyUSB7"));
        WriteFile(lockPath("ttyUSB7"), LockText(owner));
        QVERIFY(::chmod(file.constData(), mode) == 0);
        QVERIFY(::chmod(QFile::encodeName(lockDir.path()).constData(), 01777) == 0); // as /run/lock
        const std::string seen = InChild([&] {
            if (!DropRoot())
                return std::string("cannot drop root");
            std::string lock;
            const Backend::Opened opened =
                Backend::OpenDevice(lockDir.filePath("ttyUSB7").toStdString(), lockDir.path().toStdString(), lock);
            return (PortGuard::ProcessAlive(owner) ? "alive: " : "dead: ") + opened.Reason;
        });
        QCOMPARE(QString::fromStdString(seen), "alive: " + reason);
        QVERIFY(::chmod(file.constData(), 0644) == 0);
        QCOMPARE(ReadFile(lockPath("ttyUSB7")), LockText(owner));
    }

    void console_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("minor");
        QTest::addColumn<bool>("console");
        QTest::newRow("listed by name") << "ttyS0" << 0 << 0 << true;
        QTest::newRow("listed by device number") << "ttyS5" << 4 << 64 << true;
        QTest::newRow("the last of three consoles") << "ttyUSB9" << 0 << 0 << true;
        QTest::newRow("/dev/console by name") << "console" << 0 << 0 << true;
        QTest::newRow("/dev/console by device number") << "ttyX" << 5 << 1 << true;
        QTest::newRow("another port") << "ttyS1" << 4 << 65 << false;
        QTest::newRow("an unknown number matches no unknown number") << "ttyS2" << 0 << 0 << false;
    }

    void console()
    {
        QFETCH(QString, name);
        QFETCH(int, major);
        QFETCH(int, minor);
        QFETCH(bool, console);
        const std::vector<PortGuard::Console> consoles{
            {"tty0", makedev(4, 0)}, {"ttyS0", makedev(4, 64)}, {"ttyUSB9", 0}};
        QCOMPARE(PortGuard::IsConsole(name.toStdString(), makedev(major, minor), consoles), console);
    }

    // A pty's slave that another process holds open: the holder, as /proc
    // shows it, refuses the open; this process's own descriptors do not
    // count.  Without the holder, the pty's missing modem lines refuse it.
    // The lock is taken before these last checks and the open, and neither
    // refusal leaves a lock file or a descriptor.
    //
    // Every devpts instance (a container's, a private mount namespace's)
    // numbers its ptys from 0, so a pty's device number may be held in
    // another one; a serial port's number is the machine's alone.  So the
    // pty is one whose number nobody held before.
    void ptyHeldElsewhere()
    {
        std::vector<int> masters;
        const auto closeMasters = qScopeGuard([&] {
            for (const int fd : masters)
                ::close(fd);
        });
        std::string slave;
        struct stat status = {};
        while (slave.empty() && masters.size() < 32) {
            const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            QVERIFY(master >= 0);
            masters.push_back(master);
            QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
            QVERIFY(::stat(::ptsname(master), &status) == 0 && S_ISCHR(status.st_mode));
            if (PortGuard::HolderOf(status.st_rdev, ::getpid()) == 0)
                slave = ::ptsname(master);
        }
        QVERIFY2(!slave.empty(), "every new pty's number is held elsewhere");
        holder = ::fork();
        if (holder == 0) {
            ::open(slave.c_str(), O_RDWR | O_NOCTTY);
            for (;;)
                ::pause();
        }
        QTRY_COMPARE(PortGuard::HolderOf(status.st_rdev, ::getpid()), holder);
        QCOMPARE(PortGuard::HolderOf(status.st_rdev, holder), 0); // the one holder, excepted
        QCOMPARE(PortGuard::HolderOf(0, ::getpid()), 0);
        std::string lock;
        const Backend::Opened held = Backend::OpenDevice(slave, lockDir.path().toStdString(), lock);
        QCOMPARE(held.Fd, -1);
        QCOMPARE(QString::fromStdString(held.Reason), QStringLiteral("open in PID %1").arg(holder));
        QCOMPARE(QDir(lockDir.path()).entryList(QDir::Files), QStringList());

        endHolder();
        const int own = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(own >= 0);
        QCOMPARE(PortGuard::HolderOf(status.st_rdev, ::getpid()), 0);
        ::close(own);
        const Backend::Opened pty = Backend::OpenDevice(slave, lockDir.path().toStdString(), lock);
        QCOMPARE(pty.Fd, -1);
        QVERIFY2(pty.Reason.starts_with("not a serial port (TIOCMGET: "), pty.Reason.c_str());
        QCOMPARE(QDir(lockDir.path()).entryList(QDir::Files), QStringList());
        QCOMPARE(PortGuard::HolderOf(status.st_rdev, 0), 0);
        QVERIFY(lock.empty());
    }

    void failureLines_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("line");
        const auto row = [](const char *name, const char *device, const QString &reason, const char *line) {
            QTest::newRow(name) << QString(device) << reason << QString(line);
        };
        row("permission", "/dev/ttyS1", QString("open: ") + std::strerror(EACCES),
            "kapirel: COM2 (/dev/ttyS1): open: Permission denied");
        row("lock", "/dev/ttyS1", "locked by PID 4242", "kapirel: COM2 (/dev/ttyS1): locked by PID 4242");
        row("no device", "", "no such port (no serial port found)",
            "kapirel: COM2: no such port (no serial port found)");
    }

    void failureLines()
    {
        QFETCH(QString, device);
        QFETCH(QString, reason);
        QFETCH(QString, line);
        QCOMPARE(QString::fromStdString(PortGuard::FailureLine("COM2", device.toStdString(), reason.toStdString())),
                 line);
    }
};

QTEST_GUILESS_MAIN(TestPortNames)
#include "tst_port_names.moc"
