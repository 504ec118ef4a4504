// window_probe_hook.dll: the part of window_probe.exe that runs inside the probed program (under Wine, which runs
// only in the Wine box's private mount namespace, tests/wine/winebox.py), loaded there by Windows as the module of
// its hooks on the program's window thread (window_probe.exe focus-clicks TITLE).
//
// On Windows, a radio button that gets the focus while it is not marked sends its parent WM_COMMAND with BN_CLICKED
// from inside its own handling of WM_SETFOCUS; a program that took that for the operator's choice would switch its
// port on Tab.  Wine's buttons never send it.
//
// Only a hook DLL, which Windows loads into the hooked thread's process, can run code between a window procedure's
// start and its end.  WH_CALLWNDPROC sees the WM_SETFOCUS go in to the button, before any subclass of the program,
// and WH_CALLWNDPROCRET sees it come back.  In between, the program's subclass calls the button's own procedure
// directly (CallWindowProc), past the hooks, and Wine's procedure only marks the button for a repaint.  But a button
// with BS_NOTIFY sends its parent BN_SETFOCUS from there, on Windows and on Wine alike; so the hook gives the button
// BS_NOTIFY for as long as the WM_SETFOCUS lasts, and when that BN_SETFOCUS comes through the hook on its way to the
// parent, it sends the parent the BN_CLICKED first, from inside the button's procedure as Windows does.  The program
// then also sees a BN_SETFOCUS, which it does not ask for and does not act on.  Each BN_CLICKED sent is posted to
// window_probe.exe.
#include <windows.h>

#include <cwchar>

namespace {

// The unmarked radio button whose WM_SETFOCUS is under way.
HWND arriving = nullptr;
// Whether the hook gave it BS_NOTIFY, to be taken back.
bool notifyAdded = false;

bool UnmarkedRadioButton(HWND window)
{
    wchar_t kind[16] = {};
    if (GetClassNameW(window, kind, 16) == 0 || _wcsicmp(kind, L"Button") != 0)
        return false;
    const LONG type = GetWindowLongW(window, GWL_STYLE) & BS_TYPEMASK;
    return (type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON) &&
           SendMessageW(window, BM_GETCHECK, 0, 0) == BST_UNCHECKED;
}

void SendClicked(HWND parent, HWND button)
{
    const int id = GetDlgCtrlID(button);
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    if (const HWND probe = FindWindowExW(HWND_MESSAGE, nullptr, L"KapirelWindowProbe", nullptr))
        PostMessageW(probe, WM_APP, static_cast<WPARAM>(id), 0);
}

} // namespace

extern "C" {

__declspec(dllexport) LRESULT CALLBACK BeforeMessage(int code, WPARAM wParam, LPARAM lParam)
{
    const auto *message = reinterpret_cast<const CWPSTRUCT *>(lParam);
    if (code == HC_ACTION && message->message == WM_SETFOCUS && arriving == nullptr &&
        UnmarkedRadioButton(message->hwnd)) {
        arriving = message->hwnd;
        const LONG style = GetWindowLongW(arriving, GWL_STYLE);
        notifyAdded = (style & BS_NOTIFY) == 0;
        SetWindowLongW(arriving, GWL_STYLE, style | BS_NOTIFY);
    } else if (code == HC_ACTION && arriving != nullptr && message->message == WM_COMMAND &&
               HIWORD(message->wParam) == BN_SETFOCUS && reinterpret_cast<HWND>(message->lParam) == arriving) {
        SendClicked(message->hwnd, arriving);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

__declspec(dllexport) LRESULT CALLBACK AfterMessage(int code, WPARAM wParam, LPARAM lParam)
{
    const auto *message = reinterpret_cast<const CWPRETSTRUCT *>(lParam);
    if (code == HC_ACTION && message->message == WM_SETFOCUS && message->hwnd == arriving) {
        if (notifyAdded)
            SetWindowLongW(arriving, GWL_STYLE, GetWindowLongW(arriving, GWL_STYLE) & ~BS_NOTIFY);
        arriving = nullptr;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    // Windows may unload a hook's module after each call; arriving must last
    // from one call to the next.
    HMODULE self = nullptr;
    if (reason == DLL_PROCESS_ATTACH)
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCWSTR>(instance), &self);
    return TRUE;
}
}
