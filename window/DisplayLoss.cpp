#include "DisplayLoss.h"

#include <QCoreApplication>
#include <QLoggingCategory>
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
QLoggingCategory::CategoryFilter PreviousFilter = nullptr;
// Whether the logging rules (QT_LOGGING_RULES) want the warnings of the
// category "default", which the plugins' last words belong to.
std::atomic<bool> DefaultWarningsWanted{true};

bool IsDefaultCategory(const char *category) { return category == nullptr || qstrcmp(category, "default") == 0; }

// Qt drops a disabled category's warning before any message handler sees it,
// so the category "default" keeps its warnings on whatever the rules say;
// the handler then shows them only where the rules wanted them.
void KeepDefaultWarnings(QLoggingCategory *category)
{
    PreviousFilter(category);
    if (IsDefaultCategory(category->categoryName())) {
        DefaultWarningsWanted = category->isWarningEnabled();
        category->setEnabled(QtWarningMsg, true);
    }
}

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
    const bool unwanted = type == QtWarningMsg && IsDefaultCategory(context.category) && !DefaultWarningsWanted;
    if (Previous != nullptr && !unwanted)
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
    if (Previous == nullptr) {
        Previous = qInstallMessageHandler(OnMessage);
        // Known before the new filter is installed: installing applies it at once.
        PreviousFilter = QLoggingCategory::installFilter(nullptr);
        QLoggingCategory::installFilter(KeepDefaultWarnings);
    }
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
