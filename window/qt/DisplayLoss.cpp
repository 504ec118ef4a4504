#include "DisplayLoss.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QString>

#include <algorithm>
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

bool ConnectionBroke(const QString &message)
{
    return std::any_of(DisplayLoss::LastWords.begin(), DisplayLoss::LastWords.end(), [&](std::string_view words) {
        return message.startsWith(QLatin1String(words.data(), static_cast<qsizetype>(words.size())));
    });
}

void OnMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const bool unwanted = type == QtWarningMsg && IsDefaultCategory(context.category) && !DefaultWarningsWanted;
    if (Previous != nullptr && !unwanted)
        Previous(type, context, message);
    if (type != QtWarningMsg || !ConnectionBroke(message))
        return;
    DisplayLoss *watch = Watch.load();
    if (watch == nullptr)
        return;
    // The plugin ends the process as soon as this returns.  A second thread
    // that sees the loss (Wayland's frame-event thread beside the main
    // thread) waits here until the first has ended the process.
    if (EndStarted.exchange(true)) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    watch->End();
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
    const int status = end_();
    (void)std::fflush(nullptr); // nothing is left to tell of a failure
    // Not exit(): the static destructors of Qt and its plugins would run
    // against a display that is gone.
    std::_Exit(status);
}
