#include "DisplayLoss.h"

#include <QCoreApplication>
#include <QString>
#include <QThread>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

std::atomic<DisplayLoss *> Watch{nullptr};
std::atomic<bool> EndStarted{false};
QtMessageHandler Previous = nullptr;

// The platform plugins' last words before they end the process.
bool ConnectionBroke(const QString &message)
{
    return message.startsWith(QLatin1String("The X11 connection broke")) ||
           message.startsWith(QLatin1String("The Wayland connection broke")) ||
           message.startsWith(QLatin1String("The Wayland connection experienced a fatal error"));
}

bool OnMainThread()
{
    const QCoreApplication *application = QCoreApplication::instance();
    return application != nullptr && QThread::currentThread() == application->thread();
}

void OnMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (Previous != nullptr)
        Previous(type, context, message);
    if (type != QtWarningMsg || !ConnectionBroke(message) || Watch.load() == nullptr)
        return;
    if (OnMainThread())
        Watch.load()->End();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] {
            if (DisplayLoss *watch = Watch.load())
                watch->End();
        },
        Qt::QueuedConnection);
    // The plugin ends the process as soon as this returns.  The main thread
    // is back in its event loop within a poll; should it never come, Qt's
    // own end is all that is left.
    using namespace std::chrono_literals;
    for (auto waited = 0ms; !EndStarted && waited < 10s; waited += 10ms)
        std::this_thread::sleep_for(10ms);
    while (EndStarted)
        std::this_thread::sleep_for(1s);
}

} // namespace

DisplayLoss::DisplayLoss(std::function<int()> end) : end_(std::move(end))
{
    Q_ASSERT(Watch.load() == nullptr);
    Watch = this;
    if (Previous == nullptr)
        Previous = qInstallMessageHandler(OnMessage);
}

DisplayLoss::~DisplayLoss() { Watch = nullptr; }

void DisplayLoss::End()
{
    EndStarted = true;
    const int status = end_();
    std::fflush(nullptr);
    // Not exit(): the static destructors of Qt and its plugins would run
    // against a display that is gone.
    std::_Exit(status);
}
