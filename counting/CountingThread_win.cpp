// Windows: the counting thread at THREAD_PRIORITY_TIME_CRITICAL, and the
// thread's execution state against idle sleep.
//
// THREAD_PRIORITY_TIME_CRITICAL needs no privilege and leaves the process in
// its normal class: the thread runs before every other thread of a normal
// program, and the rest of kapirel stays as it was.
#include "CountingThread.h"

#include "SystemMessage.h"

#include <cstdio>
#include <windows.h>

namespace counting {

namespace {

// SetThreadDescription came with Windows 10 1607; looked up rather than
// imported, so kapirel.exe still starts on older Windows.
using SetThreadDescriptionFunction = HRESULT(WINAPI *)(HANDLE, PCWSTR);

void NameThread()
{
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr)
        return;
    // A cast between function pointer types is what GetProcAddress asks for.
    const auto describe = reinterpret_cast<SetThreadDescriptionFunction>(
        reinterpret_cast<void (*)()>(::GetProcAddress(kernel32, "SetThreadDescription")));
    if (describe != nullptr)
        (void)describe(::GetCurrentThread(), L"kapirel-count");
}

} // namespace

void PrepareCountingThread()
{
    NameThread();
    if (!::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL))
        (void)std::fprintf(stderr, "kapirel: counting at normal priority (SetThreadPriority: %s)\n",
                           common::SystemMessage(::GetLastError()).c_str());
}

// ES_SYSTEM_REQUIRED keeps Windows from sleeping when idle, not the display
// on, and not a sleep the user asks for (the Start menu, a closed lid).
// Windows keeps the state per thread, until the thread changes it or ends.
IdleSleepHold::IdleSleepHold() : held_(::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0)
{
    if (!held_)
        (void)std::fprintf(stderr, "kapirel: idle sleep not held off (SetThreadExecutionState: %s)\n",
                           common::SystemMessage(::GetLastError()).c_str());
}

IdleSleepHold::~IdleSleepHold() { Release(); }

void IdleSleepHold::Release()
{
    if (held_)
        (void)::SetThreadExecutionState(ES_CONTINUOUS);
    held_ = false;
}

} // namespace counting
