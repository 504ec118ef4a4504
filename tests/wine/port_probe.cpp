// port_probe.exe: opens a COM port the way the Windows program does and polls
// its CTS line every 20 ms, to check the Wine box and the meter library.
//
//   port_probe.exe PORT sleep|timer SECONDS
//
// sleep: Sleep(20) between polls.  timer: a high-resolution waitable timer
// with absolute 20 ms deadlines, waited on by MsgWaitForMultipleObjectsEx.
// Prints "open", every CTS edge with its poll number, and "polls N edges M".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: port_probe.exe PORT sleep|timer SECONDS\n");
        return 2;
    }
    const bool useTimer = std::strcmp(argv[2], "timer") == 0;
    const DWORD seconds = static_cast<DWORD>(std::atoi(argv[3]));

    HANDLE port = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("open-failed %lu\n", GetLastError());
        return 1;
    }
    std::printf("open\n");
    if (!EscapeCommFunction(port, SETDTR) || !EscapeCommFunction(port, CLRRTS) || !EscapeCommFunction(port, CLRBREAK)) {
        std::printf("escape-failed %lu\n", GetLastError());
        return 1;
    }

    HANDLE timer = nullptr;
    LARGE_INTEGER frequency;
    LARGE_INTEGER origin;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&origin);
    if (useTimer) {
        timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        if (timer == nullptr) {
            std::printf("timer-failed %lu\n", GetLastError());
            return 1;
        }
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG deadline = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;

    DWORD previous = 0;
    long polls = 0;
    long edges = 0;
    const ULONGLONG total = static_cast<ULONGLONG>(seconds) * 50;
    for (ULONGLONG i = 0; i < total; ++i) {
        if (useTimer) {
            deadline += 200000; // 20 ms in 100 ns units, absolute: no drift
            LARGE_INTEGER due;
            due.QuadPart = static_cast<LONGLONG>(deadline);
            SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
            MsgWaitForMultipleObjectsEx(1, &timer, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        } else {
            Sleep(20);
        }
        DWORD status = 0;
        if (!GetCommModemStatus(port, &status)) {
            std::printf("status-failed %lu\n", GetLastError());
            return 1;
        }
        ++polls;
        const DWORD cts = status & MS_CTS_ON;
        if (cts != previous) {
            LARGE_INTEGER at;
            QueryPerformanceCounter(&at);
            std::printf("cts %s poll %ld at %.3f\n", cts ? "on" : "off", polls,
                        static_cast<double>(at.QuadPart - origin.QuadPart) / static_cast<double>(frequency.QuadPart));
            if (cts)
                ++edges;
            previous = cts;
        }
    }
    std::printf("polls %ld edges %ld\n", polls, edges);
    EscapeCommFunction(port, CLRDTR);
    CloseHandle(port);
    return 0;
}
