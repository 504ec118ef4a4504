// The durable append of the measurement log, on the real file system.
#include "InChild.h"
#include "MeasurementLog.h"
#include "TestFiles.h"

#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace counting;

namespace {

const std::string Earlier = " konec nacitani : 07:00:00  pocet pulsu = 12\r\n";
const std::string Line = " konec nacitani : 14:05:09  pocet pulsu = 37\r\n";

// The append in a child process after `prepare` (DropRoot, a lower limit).
AppendResult AppendInChild(const std::function<bool()> &prepare, const QString &path, const std::string &text)
{
    const std::string answer = InChild([&] {
        if (!prepare())
            return std::string("1prepare failed");
        const AppendResult result = AppendDurably(path.toStdString(), text);
        return (result.Written ? "1" : "0") + result.Reason;
    });
    if (answer.empty())
        return {false, "child died"};
    return {answer[0] == '1', answer.substr(1)};
}

// Each fsync() of this process, on the main thread: the file's inode and its
// size at that moment.
std::vector<std::pair<ino_t, off_t>> Syncs;

} // namespace

// Takes the place of glibc's fsync() in this program, AppendDurably's too.
extern "C" int fsync(int fd)
{
    struct stat status = {};
    if (::fstat(fd, &status) == 0)
        Syncs.emplace_back(status.st_ino, status.st_size);
    return reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"))(fd);
}

class TestMeasurementLog : public QObject
{
    Q_OBJECT

private slots:
    void appendsAfterEarlierLines()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("NAMERENO.TXT");
        std::string expected;
        for (const std::string &text : {Earlier, Line}) {
            Syncs.clear();
            const AppendResult result = AppendDurably(path.toStdString(), text);
            QVERIFY2(result.Written, result.Reason.c_str());
            expected += text;
            // On the disk before the call returns, and so before the end switches
            // the lines off: one fsync, of the file with the line already in it.
            struct stat log = {};
            QVERIFY(::stat(QFile::encodeName(path).constData(), &log) == 0);
            QCOMPARE(Syncs, (std::vector<std::pair<ino_t, off_t>>{{log.st_ino, static_cast<off_t>(expected.size())}}));
        }
        QCOMPARE(ReadFile(path), QByteArray::fromStdString(expected));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");

        QTest::newRow("log is a directory") << "directory" << QStringLiteral("open: Is a directory");
        QTest::newRow("read-only directory") << "read-only" << QStringLiteral("open: Permission denied");
        QTest::newRow("disk full") << "full" << QStringLiteral("write: No space left on device");
        QTest::newRow("write cut short") << "short" << QStringLiteral("write: No space left on device");
        QTest::newRow("FIFO without a reader") << "fifo" << QStringLiteral("open: No such device or address");
        QTest::newRow("FIFO whose reader does not read, pipe full")
            << "full fifo" << QStringLiteral("write: Resource temporarily unavailable");
        // No failure: the reader gets the line.
        QTest::newRow("FIFO with a reader") << "read fifo" << QString();
    }

    void failures()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);

        QTemporaryDir dir;
        // Reachable for the unprivileged child of the read-only case.
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
        QString path = dir.filePath("NAMERENO.TXT");
        AppendResult result;
        if (kind == "directory") {
            QVERIFY(QDir(dir.path()).mkdir("NAMERENO.TXT"));
            result = AppendDurably(path.toStdString(), Line);
        } else if (kind == "read-only") {
            QVERIFY(QDir(dir.path()).mkdir("ro"));
            path = dir.filePath("ro/NAMERENO.TXT");
            WriteFile(path, QByteArray::fromStdString(Earlier));
            QVERIFY(::chmod(QFile::encodeName(dir.filePath("ro")).constData(), 0555) == 0);
            // Root writes through any mode bits, so the append runs as nobody.
            result = AppendInChild(DropRoot, path, Line);
        } else if (kind == "short") {
            WriteFile(path, QByteArray::fromStdString(Earlier));
            // A file size limit makes write() stop in mid-line, as a filling disk does.
            const auto limitFileSize = [] {
                ::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{static_cast<rlim_t>(Earlier.size() + 10), static_cast<rlim_t>(Earlier.size() + 10)};
                return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
            };
            result = AppendInChild(limitFileSize, path, Line);
        } else if (kind.endsWith("fifo")) {
            const QByteArray fifo = QFile::encodeName(path);
            QVERIFY(::mkfifo(fifo.constData(), 0644) == 0);
            const int reader = kind == "fifo" ? -1 : ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            QVERIFY(kind == "fifo" || reader >= 0);
            if (kind == "full fifo") {
                const int filler = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                QVERIFY(filler >= 0);
                const std::string block(4096, 'x');
                while (::write(filler, block.data(), block.size()) > 0) {
                }
                ::close(filler);
            }
            result = AppendDurably(path.toStdString(), Line);
            std::string received(Line.size() + 16, '\0');
            const ssize_t got = kind == "read fifo" ? ::read(reader, received.data(), received.size()) : 0;
            received.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
            if (reader >= 0)
                ::close(reader);
            if (kind == "read fifo")
                QCOMPARE(received, Line);
        } else {
            QVERIFY(QFile::link("/dev/full", path));
            result = AppendDurably(path.toStdString(), Line);
        }
        QCOMPARE(QString::fromStdString(result.Reason), reason);
        QCOMPARE(result.Written, reason.isEmpty());
        // A failed append leaves the earlier lines as they were.
        if (kind == "read-only" || kind == "short")
            QCOMPARE(ReadFile(path), QByteArray::fromStdString(Earlier));
    }
};

QTEST_GUILESS_MAIN(TestMeasurementLog)
#include "tst_measurement_log.moc"
