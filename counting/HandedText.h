// The count text that the counting thread hands to the window's thread.  The
// latest text wins: a window that lags behind shows the newest count when it
// catches up, never a backlog, and it is woken once for any number of texts
// handed over meanwhile.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace counting {

class HandedText
{
public:
    // True when the window's thread is to be woken: no text waited yet.
    bool Hand(const std::string &text)
    {
        const std::lock_guard lock(mutex_);
        const bool wake = !text_.has_value();
        text_ = text;
        return wake;
    }
    // The text to show, when one waits.
    std::optional<std::string> Take()
    {
        const std::lock_guard lock(mutex_);
        return std::exchange(text_, std::nullopt);
    }

private:
    std::mutex mutex_;
    std::optional<std::string> text_;
};

} // namespace counting
