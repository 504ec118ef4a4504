// window_probe.exe: what only a program inside Wine (which runs only in the Wine box's private mount namespace,
// tests/wine/winebox.py) can see of, or do to, another program.  X11 shows only the frames: the notices' texts, the
// option buttons' marks and the focus are seen from inside Wine alone.
//
//   window_probe.exe                    a JSON object a line for every visible top-level window of another process:
//                                       title, class, client rectangle on the screen, the control with the focus,
//                                       and each child control's id, class, text, visibility, check state, icon and
//                                       rectangle in the parent's client coordinates
//   window_probe.exe menu TITLE         opens the window menu, as Alt+Space would (the window manager takes that key)
//   window_probe.exe link PATH          what the shortcut starts, as the shell reads it: target, folder and icon
//   window_probe.exe focus-clicks TITLE makes the window's radio buttons send BN_CLICKED on getting the focus
//                                       unmarked, as Windows' do and Wine's do not (window_probe_hook.dll, beside
//                                       this program, says how); prints {"hooked":true} once the hooks are set,
//                                       {"clicked":ID} for each BN_CLICKED sent, and ends with the window
//   window_probe.exe threads TITLE      {"thread":ID,"priority":P,"window":BOOL} for every thread of the window's
//                                       process: GetThreadPriority's value, and whether it is the window's thread
//   window_probe.exe port PORT SECONDS  opens the COM port as kapirel.exe does, DTR on, RTS off, BREAK off, and
//                                       polls its CTS every 20 ms; prints "open", each CTS edge and
//                                       "polls N edges M" (the Wine box's selftest)
#include <windows.h>

#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// The text as a JSON string, in UTF-8.
std::string Quote(const std::wstring &text)
{
    const int size = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, utf8.data(), length, nullptr, nullptr);
    std::string quoted = "\"";
    for (const char c : utf8) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// WM_GETTEXT, which Windows carries across processes; GetWindowText would
// give only the caption that DefWindowProc keeps, not an edit control's text.
std::wstring Text(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length))
        return L"";
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG, 2000,
                        &copied);
    text.resize(copied);
    return text;
}

std::wstring ClassName(HWND window)
{
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

std::string Rect(const RECT &rect)
{
    char text[96];
    std::snprintf(text, sizeof text, "[%ld,%ld,%ld,%ld]", rect.left, rect.top, rect.right - rect.left,
                  rect.bottom - rect.top);
    return text;
}

struct Children
{
    HWND Parent;
    std::string Json;
};

BOOL CALLBACK OnChild(HWND child, LPARAM context)
{
    auto &children = *reinterpret_cast<Children *>(context);
    if (GetParent(child) != children.Parent)
        return TRUE;
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, children.Parent, reinterpret_cast<POINT *>(&rect), 2);
    const std::wstring kind = ClassName(child);
    std::string check = "null";
    std::string icon = "false";
    DWORD_PTR answer = 0;
    if (_wcsicmp(kind.c_str(), L"Button") == 0 &&
        SendMessageTimeoutW(child, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer))
        check = std::to_string(answer);
    if (_wcsicmp(kind.c_str(), L"Static") == 0 &&
        SendMessageTimeoutW(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer))
        icon = answer != 0 ? "true" : "false";
    char head[96];
    std::snprintf(head, sizeof head,
                  "{\"id\":%d,\"visible\":%s,\"check\":%s,\"icon\":%s,\"rect\":", GetDlgCtrlID(child),
                  IsWindowVisible(child) ? "true" : "false", check.c_str(), icon.c_str());
    if (!children.Json.empty())
        children.Json += ",";
    children.Json += head + Rect(rect) + ",\"class\":" + Quote(kind) + ",\"text\":" + Quote(Text(child)) + "}";
    return TRUE;
}

BOOL CALLBACK OnTopLevel(HWND window, LPARAM)
{
    DWORD process = 0;
    const DWORD thread = GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() || !IsWindowVisible(window))
        return TRUE;
    const std::wstring kind = ClassName(window);
    // The desktop's own windows.
    if (kind == L"#32769" || kind == L"Shell_TrayWnd" || kind == L"Message")
        return TRUE;

    RECT client;
    GetClientRect(window, &client);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT *>(&client), 2);

    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    int focus = 0;
    if (GetGUIThreadInfo(thread, &info) && info.hwndFocus != nullptr && GetParent(info.hwndFocus) == window)
        focus = GetDlgCtrlID(info.hwndFocus);

    Children children{window, {}};
    EnumChildWindows(window, OnChild, reinterpret_cast<LPARAM>(&children));
    std::printf("{\"focus\":%d,\"client\":%s,\"class\":%s,\"title\":%s,\"children\":[%s]}\n", focus,
                Rect(client).c_str(), Quote(kind).c_str(), Quote(Text(window)).c_str(), children.Json.c_str());
    return TRUE;
}

int Link(const wchar_t *path)
{
    if (FAILED(CoInitialize(nullptr)))
        return 1;
    IShellLinkW *link = nullptr;
    IPersistFile *file = nullptr;
    wchar_t target[MAX_PATH] = {};
    wchar_t folder[MAX_PATH] = {};
    wchar_t icon[MAX_PATH] = {};
    int index = 0;
    const bool read = SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                                 reinterpret_cast<void **>(&link))) &&
                      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file))) &&
                      SUCCEEDED(file->Load(path, STGM_READ)) &&
                      SUCCEEDED(link->GetPath(target, MAX_PATH, nullptr, 0)) &&
                      SUCCEEDED(link->GetWorkingDirectory(folder, MAX_PATH)) &&
                      SUCCEEDED(link->GetIconLocation(icon, MAX_PATH, &index));
    if (read)
        std::printf("{\"target\":%s,\"folder\":%s,\"icon\":%s}\n", Quote(target).c_str(), Quote(folder).c_str(),
                    Quote(icon).c_str());
    if (file != nullptr)
        file->Release();
    if (link != nullptr)
        link->Release();
    CoUninitialize();
    return read ? 0 : 1;
}

int FocusClicks(const wchar_t *title)
{
    const HWND window = FindWindowW(nullptr, title);
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dll(path, length);
    dll = dll.substr(0, dll.find_last_of(L'\\') + 1) + L"window_probe_hook.dll";
    const HMODULE hooks = LoadLibraryW(dll.c_str());
    if (window == nullptr || hooks == nullptr)
        return 1;
    // The hooks post each BN_CLICKED they send to this message-only window.
    WNDCLASSW listenerClass{};
    listenerClass.lpfnWndProc = DefWindowProcW;
    listenerClass.lpszClassName = L"KapirelWindowProbe";
    RegisterClassW(&listenerClass);
    const HWND listener = CreateWindowExW(0, listenerClass.lpszClassName, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                          nullptr, nullptr);
    const DWORD thread = GetWindowThreadProcessId(window, nullptr);
    const auto proc = [&](const char *name) {
        return reinterpret_cast<HOOKPROC>(reinterpret_cast<void *>(GetProcAddress(hooks, name)));
    };
    const HHOOK before = SetWindowsHookExW(WH_CALLWNDPROC, proc("BeforeMessage"), hooks, thread);
    const HHOOK after = SetWindowsHookExW(WH_CALLWNDPROCRET, proc("AfterMessage"), hooks, thread);
    if (listener == nullptr || before == nullptr || after == nullptr)
        return 1;
    std::printf("{\"hooked\":true}\n");
    std::fflush(stdout);
    // A thread timer wakes the loop to look for the window.
    SetTimer(nullptr, 0, 100, nullptr);
    MSG message;
    while (IsWindow(window) && GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == listener && message.message == WM_APP) {
            std::printf("{\"clicked\":%d}\n", static_cast<int>(message.wParam));
            std::fflush(stdout);
        }
        DispatchMessageW(&message);
    }
    UnhookWindowsHookEx(after);
    UnhookWindowsHookEx(before);
    return 0;
}

int Threads(const wchar_t *title)
{
    const HWND window = FindWindowW(nullptr, title);
    DWORD process = 0;
    const DWORD windowThread = window != nullptr ? GetWindowThreadProcessId(window, &process) : 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (windowThread == 0 || snapshot == INVALID_HANDLE_VALUE)
        return 1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != process)
            continue;
        const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
        const int priority = thread != nullptr ? GetThreadPriority(thread) : THREAD_PRIORITY_ERROR_RETURN;
        if (thread != nullptr)
            CloseHandle(thread);
        std::printf("{\"thread\":%lu,\"priority\":%d,\"window\":%s}\n", entry.th32ThreadID, priority,
                    entry.th32ThreadID == windowThread ? "true" : "false");
    }
    CloseHandle(snapshot);
    return 0;
}

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

int Failed(const char *what)
{
    std::printf("%s-failed %lu\n", what, GetLastError());
    return 1;
}

int Port(const wchar_t *name, int seconds)
{
    const HANDLE port = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return Failed("open");
    std::printf("open\n");
    if (!EscapeCommFunction(port, SETDTR) || !EscapeCommFunction(port, CLRRTS) || !EscapeCommFunction(port, CLRBREAK))
        return Failed("escape");
    // As kapirel.exe waits: a high-resolution waitable timer, absolute deadlines, MsgWaitForMultipleObjectsEx.
    const HANDLE timer =
        CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (timer == nullptr)
        return Failed("timer");
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG deadline = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    DWORD previous = 0;
    int polls = 0;
    int edges = 0;
    while (polls < seconds * 50) {
        deadline += 200000; // 20 ms in 100 ns units
        LARGE_INTEGER due;
        due.QuadPart = static_cast<LONGLONG>(deadline);
        SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
        MsgWaitForMultipleObjectsEx(1, &timer, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        DWORD status = 0;
        if (!GetCommModemStatus(port, &status))
            return Failed("status");
        ++polls;
        const DWORD cts = status & MS_CTS_ON;
        if (cts != previous) {
            std::printf("cts %s poll %d\n", cts ? "on" : "off", polls);
            edges += cts ? 1 : 0;
            previous = cts;
        }
    }
    std::printf("polls %d edges %d\n", polls, edges);
    EscapeCommFunction(port, CLRDTR);
    CloseHandle(port);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 3 && std::wcscmp(argv[1], L"menu") == 0) {
        // Alt+Space: the window menu, in a modal loop of the window's own thread.
        const HWND window = FindWindowW(nullptr, argv[2]);
        return window != nullptr && PostMessageW(window, WM_SYSCOMMAND, SC_KEYMENU, L' ') ? 0 : 1;
    }
    if (argc == 3 && std::wcscmp(argv[1], L"link") == 0)
        return Link(argv[2]);
    if (argc == 3 && std::wcscmp(argv[1], L"focus-clicks") == 0)
        return FocusClicks(argv[2]);
    if (argc == 3 && std::wcscmp(argv[1], L"threads") == 0)
        return Threads(argv[2]);
    if (argc == 4 && std::wcscmp(argv[1], L"port") == 0)
        return Port(argv[2], _wtoi(argv[3]));
    EnumWindows(OnTopLevel, 0);
    return 0;
}
