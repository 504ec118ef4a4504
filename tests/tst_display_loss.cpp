// DisplayLoss with the platform plugins' last words raised by hand.  The
// watch ends the process, so each case runs in a child: this program again,
// with --child and the case's name.  And those last words in the installed
// Qt's own libraries.
#include "qt/DisplayLoss.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibraryInfo>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>
#include <thread>
#include <unistd.h>

namespace {

// What xcb and the Wayland plugin do once the connection broke: the warning,
// then the end of the process (exit(1), _exit(1)).
[[noreturn]] void PluginEnds(const char *lastWords)
{
    qWarning("%s", lastWords);
    ::_exit(1);
}

int Child(int argc, char **argv, const QByteArray &kind)
{
    QCoreApplication app(argc, argv);
    QThread *mainThread = QThread::currentThread();
    std::atomic<bool> ending{false};
    auto watch = std::make_unique<DisplayLoss>([mainThread, &ending] {
        std::printf("end on the %s thread\n", QThread::currentThread() == mainThread ? "main" : "other");
        ending = true;
        // The real end takes time (the log's fsync, the port): a thread of
        // the plugin's that returned meanwhile would end the process first.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return 2;
    });
    QTimer::singleShot(0, &app, [&] {
        if (kind == "x11") {
            PluginEnds("The X11 connection broke (error 1). Did the X11 server die?");
        } else if (kind == "wayland-thread") {
            // The frame-event thread notices first; the main thread keeps on
            // with its own work for a while.
            std::thread([] { PluginEnds("The Wayland connection broke. Did the Wayland compositor die?"); }).detach();
            QThread::msleep(200);
        } else if (kind == "wayland-both") {
            // The frame-event thread sees it first, the main thread during the end.
            std::thread([] { PluginEnds("The Wayland connection broke. Did the Wayland compositor die?"); }).detach();
            while (!ending)
                QThread::msleep(1);
            PluginEnds("The Wayland connection broke. Did the Wayland compositor die?");
        } else if (kind == "other-warning") {
            qWarning("The X11 server is fine");
            QCoreApplication::exit(0);
        } else if (kind == "unwatched") {
            watch.reset();
            PluginEnds("The X11 connection broke (error 1). Did the X11 server die?");
        }
    });
    return app.exec();
}

// The files of a platform plugin and of the Qt libraries that loading it
// brought in (in the link map after it).
QStringList QtFilesOf(const char *plugin)
{
    const QString path = QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms/" + plugin;
    void *handle = ::dlopen(QFile::encodeName(path).constData(), RTLD_LAZY | RTLD_LOCAL);
    link_map *map = nullptr;
    if (handle == nullptr || ::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0)
        return {};
    QStringList files{path};
    for (map = map->l_next; map != nullptr; map = map->l_next) {
        if (QByteArray(map->l_name).contains("/libQt6"))
            files << QFile::decodeName(map->l_name);
    }
    return files;
}

} // namespace

class TestDisplayLoss : public QObject
{
    Q_OBJECT

private slots:
    void end_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("silenced");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("ended");

        QTest::newRow("X11, main thread") << "x11" << false << 2 << "end on the main thread\n";
        // The end runs where the loss was seen, while the main thread goes on.
        QTest::newRow("Wayland, other thread") << "wayland-thread" << false << 2 << "end on the other thread\n";
        QTest::newRow("Wayland, other thread, then main thread")
            << "wayland-both" << false << 2 << "end on the other thread\n";
        QTest::newRow("warnings silenced") << "x11" << true << 2 << "end on the main thread\n";
        QTest::newRow("another warning") << "other-warning" << false << 0 << "";
        QTest::newRow("watch gone") << "unwatched" << false << 1 << "";
    }

    void end()
    {
        QFETCH(QString, kind);
        QFETCH(bool, silenced);
        QFETCH(int, status);
        QFETCH(QString, ended);

        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_LOGGING_RULES"), silenced ? "*.warning=false" : "");
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), kind});
        QVERIFY(child.waitForFinished(20000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), status);
        QCOMPARE(QString::fromLocal8Bit(child.readAllStandardOutput()), ended);
        const QString said = QString::fromLocal8Bit(child.readAllStandardError());
        // The warning shows as usual, and not where the rules silence it.
        QCOMPARE(said.contains(QLatin1String("connection broke")), kind != "other-warning" && !silenced);
    }

    // Each of the texts the watch waits for begins a string in the xcb or
    // the Wayland plugin or in a Qt library it loads.
    void lastWordsInInstalledQt()
    {
        const QStringList files = QtFilesOf("libqxcb.so") + QtFilesOf("libqwayland-generic.so");
        QVERIFY2(files.size() >= 4, qPrintable("platform plugins or their libraries missing: " + files.join(", ")));
        QList<QByteArray> contents;
        for (const QString &file : files) {
            QFile library(file);
            QVERIFY2(library.open(QIODevice::ReadOnly), qPrintable(file));
            contents << library.readAll();
        }
        for (const std::string_view words : DisplayLoss::LastWords) {
            const QByteArray text = QByteArray(1, '\0') + QByteArray(words.data(), qsizetype(words.size()));
            QVERIFY2(
                std::any_of(contents.begin(), contents.end(), [&](const QByteArray &c) { return c.contains(text); }),
                qPrintable("the installed Qt no longer says \"" + text.mid(1) + "\" (" + files.join(", ") +
                           "): a lost display would end the program without logging the count"));
        }
    }
};

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--child") == 0)
        return Child(argc, argv, argv[2]);
    QCoreApplication app(argc, argv);
    TestDisplayLoss test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_display_loss.moc"
