// The text that the counting thread hands to the window's thread.  The
// latest text wins: a window that lags behind shows the newest count when it
// catches up, never a backlog, and it is woken once for any number of texts
// handed over meanwhile.
//
// Neither side ever waits for the other, and handing over allocates nothing:
// the poll runs at real-time priority, and a window's thread preempted while
// holding a lock would hold the poll up behind it.  Three fixed slots (a
// triple buffer): the writer fills its own slot and swaps it with the middle
// one, the reader swaps its own slot with the middle one when that holds a
// fresh text.  Each slot belongs to one side at a time, so only the middle
// index is shared.
//
// One writer at a time: the logic hands texts over inside its own lock,
// whichever thread runs it.  One reader: the window's thread.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

class HandedText
{
public:
    // Room for the longest text the logic sets, the end line with the
    // largest count (61 characters); a longer one would be cut here.
    static constexpr std::size_t Capacity = 64;

    // True when the window's thread is to be woken: it had taken every text
    // handed over before this one.
    bool Hand(std::string_view text)
    {
        Slot &slot = slots_.at(writing_);
        slot.Size = std::min(text.size(), Capacity);
        std::copy_n(text.begin(), slot.Size, slot.Chars.begin());
        const unsigned previous = middle_.exchange(writing_ | Fresh, std::memory_order_acq_rel);
        writing_ = previous & ~Fresh;
        return (previous & Fresh) == 0;
    }

    // The latest text, when one was handed over since the last Take.
    std::optional<std::string> Take()
    {
        if ((middle_.load(std::memory_order_acquire) & Fresh) == 0)
            return std::nullopt;
        reading_ = middle_.exchange(reading_, std::memory_order_acq_rel) & ~Fresh;
        const Slot &slot = slots_.at(reading_);
        return std::string(slot.Chars.data(), slot.Size);
    }

private:
    static constexpr unsigned Fresh = 4;

    struct Slot
    {
        std::array<char, Capacity> Chars{};
        std::size_t Size = 0;
    };
    std::array<Slot, 3> slots_{};
    unsigned writing_ = 0;
    std::atomic<unsigned> middle_{1};
    unsigned reading_ = 2;
};
