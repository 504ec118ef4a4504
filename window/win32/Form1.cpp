#include "Form1.h"

#include "SystemMessage.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

namespace {

constexpr wchar_t WindowClass[] = L"KapirelForm1";
constexpr wchar_t NoticeTitle[] = L"KAPIREL";
// Posted by the counting thread: a new count text waits in handedText_.
constexpr UINT TextHandedOver = WM_APP + 1;

// The controls' ids follow their order in the design.
constexpr int FirstControlId = 101;
enum ControlId : int {
    Text1Id = FirstControlId + design::Text1,
    Command1Id = FirstControlId + design::Command1,
    Option2Id = FirstControlId + design::Option2,
    Option1Id = FirstControlId + design::Option1,
};

constexpr DWORD FormStyle = WS_OVERLAPPEDWINDOW;
// Tab and the arrow keys move between the controls (IsDialogMessage).
constexpr DWORD FormExStyle = WS_EX_CONTROLPARENT;

// The per-monitor DPI functions of Windows 10 1607, looked up at run time so
// that the program still starts on older Windows.
template <typename Function> Function User32Function(const char *name)
{
    return reinterpret_cast<Function>(
        reinterpret_cast<void *>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), name)));
}

UINT WindowDpi(HWND window)
{
    static const auto getDpiForWindow = User32Function<UINT(WINAPI *)(HWND)>("GetDpiForWindow");
    if (getDpiForWindow != nullptr && window != nullptr)
        return getDpiForWindow(window);
    HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    ::ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

// The frame around the design's client area.
RECT FrameFor(const design::Twips &clientArea, UINT dpi)
{
    const int dots = static_cast<int>(dpi);
    const int left = design::TwipsToPixels(clientArea.Left, dots);
    const int top = design::TwipsToPixels(clientArea.Top, dots);
    RECT frame{left, top, left + design::TwipsToPixels(clientArea.Width, dots),
               top + design::TwipsToPixels(clientArea.Height, dots)};
    static const auto adjustForDpi =
        User32Function<BOOL(WINAPI *)(LPRECT, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
    if (adjustForDpi != nullptr)
        adjustForDpi(&frame, FormStyle, FALSE, FormExStyle, dpi);
    else
        ::AdjustWindowRectEx(&frame, FormStyle, FALSE, FormExStyle);
    return frame;
}

HFONT DesignFont(const design::FontSpec &spec, UINT dpi)
{
    const int height = -static_cast<int>(std::lround(spec.Points * dpi / 72.0));
    return ::CreateFontW(height, 0, 0, 0, design::FontWeight, FALSE, FALSE, FALSE, design::FontCharset,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                         spec.Face);
}

std::wstring Wide(const std::string &text)
{
    // The logic's texts are ASCII, apart from a system message in the ANSI
    // code page inside the log-failure notice.
    const int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

// The program cannot start without its window; the reason goes where a
// console, a debugger or Wine's terminal can show it.
void ReportFailure(const char *call)
{
    const DWORD error = ::GetLastError();
    const std::string line = std::string("kapirel: ") + call + " failed: " + common::SystemMessage(error) + " (error " +
                             std::to_string(error) + ")\n";
    ::OutputDebugStringA(line.c_str());
    // A line that stderr does not take has nowhere else to go.
    (void)std::fputs(line.c_str(), stderr);
    (void)std::fflush(stderr);
}

void Place(HWND control, const design::Twips &place, UINT dpi)
{
    const int dots = static_cast<int>(dpi);
    ::SetWindowPos(control, nullptr, design::TwipsToPixels(place.Left, dots), design::TwipsToPixels(place.Top, dots),
                   design::TwipsToPixels(place.Width, dots), design::TwipsToPixels(place.Height, dots),
                   SWP_NOZORDER | SWP_NOACTIVATE);
}

// The dialog manager's groups: every control starts one, but an option
// button right after another in the tab order joins that one's group.
bool StartsGroup(std::size_t position)
{
    const design::Control &row = design::Controls.at(position);
    const auto optionAt = [](std::size_t at) {
        return design::Controls.at(at).Kind == design::ControlKind::OptionButton;
    };
    return !optionAt(position) || row.TabIndex == 0 ||
           !optionAt(design::TabOrder.at(static_cast<std::size_t>(row.TabIndex - 1)));
}

} // namespace

Form1::Form1(HINSTANCE instance, counting::SerialLines &port, std::function<counting::TimeOfDay()> clock,
             std::string logPath)
    : instance_(instance), logic_(*this, port, std::move(clock), std::move(logPath)), Timer1(logic_, nullptr)
{
}

Form1::~Form1()
{
    if (window_ != nullptr)
        ::DestroyWindow(window_);
    for (HFONT font : fonts_) {
        if (font != nullptr)
            ::DeleteObject(font);
    }
}

bool Form1::Create(int showCommand)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance_;
    windowClass.hIcon = ::LoadIconW(instance_, MAKEINTRESOURCEW(1));
    windowClass.hIconSm =
        static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(1), IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                        ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    windowClass.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = WindowClass;
    if (::RegisterClassExW(&windowClass) == 0) {
        ReportFailure("RegisterClassExW");
        return false;
    }

    // The start position is the client area's; the frame goes around it.
    const UINT dpi = WindowDpi(nullptr);
    const RECT frame = FrameFor(design::Form1.Place, dpi);
    // Created hidden: the load comes first.
    window_ = ::CreateWindowExW(FormExStyle, WindowClass, design::Form1.Caption, FormStyle, frame.left, frame.top,
                                frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance_, this);
    if (window_ == nullptr) {
        ReportFailure("CreateWindowExW");
        return false;
    }

    logic_.Load();
    ::ShowWindow(window_, showCommand);
    ::UpdateWindow(window_);
    ::SetFocus(Option1);
    return true;
}

int Form1::Run()
{
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (window_ == nullptr || !::IsDialogMessageW(window_, &message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}

LRESULT CALLBACK Form1::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto *form = static_cast<Form1 *>(reinterpret_cast<CREATESTRUCTW *>(lParam)->lpCreateParams);
        form->window_ = window;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto *form = reinterpret_cast<Form1 *>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (form == nullptr)
        return ::DefWindowProcW(window, message, wParam, lParam);
    return form->OnMessage(message, wParam, lParam);
}

LRESULT Form1::OnMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        OnCreate();
        return 0;
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_NEXTDLGCTL: {
        // IsDialogMessage asks for the next control on Tab; a plain window's
        // DefWindowProc would ignore it.
        const HWND focus = ::GetFocus();
        const HWND next =
            LOWORD(lParam) != 0 ? reinterpret_cast<HWND>(wParam) : ::GetNextDlgTabItem(window_, focus, wParam != 0);
        if (next != nullptr)
            ::SetFocus(next);
        return 0;
    }
    case WM_ACTIVATE:
        // As in a dialog box, the control that had the focus gets it back when
        // the window is active again, after a notice among others;
        // DefWindowProc would give it to the window itself, where Space and
        // Tab do nothing until a click.
        if (LOWORD(wParam) == WA_INACTIVE) {
            const HWND focus = ::GetFocus();
            if (focus != nullptr && ::IsChild(window_, focus))
                focused_ = focus;
            return 0;
        }
        if (HIWORD(wParam) != 0) // minimised
            return ::DefWindowProcW(window_, message, wParam, lParam);
        ::SetFocus(focused_ != nullptr ? focused_ : Option1);
        return 0;
    // Also inside Windows' own modal loops, which dispatch messages.
    case TextHandedOver:
        ShowHandedText();
        return 0;
    case WM_DPICHANGED:
        OnDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT *>(lParam));
        return 0;
    case WM_CLOSE:
        EndCounting();
        ::DestroyWindow(window_);
        return 0;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        // Windows ends the process once this returns; a cancelled log-off
        // (wParam FALSE) changes nothing.
        if (wParam != FALSE)
            EndCounting();
        return 0;
    case WM_DESTROY:
        destroying_ = true;
        EndCounting();
        return 0;
    case WM_NCDESTROY: {
        const HWND window = std::exchange(window_, nullptr);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    default:
        return ::DefWindowProcW(window_, message, wParam, lParam);
    }
}

HWND Form1::CreateControl(std::size_t position)
{
    const design::Control &row = design::Controls.at(position);
    const wchar_t *kind = L"BUTTON";
    DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | (StartsGroup(position) ? WS_GROUP : 0);
    DWORD exStyle = 0;
    switch (row.Kind) {
    case design::ControlKind::TextBox:
        kind = L"EDIT";
        style |= ES_LEFT | ES_AUTOHSCROLL;
        exStyle = WS_EX_CLIENTEDGE;
        break;
    case design::ControlKind::PushButton:
        // Neither default nor cancel button: Enter and Esc must not end the count.
        style |= BS_PUSHBUTTON;
        break;
    case design::ControlKind::OptionButton:
        style |= BS_AUTORADIOBUTTON;
        break;
    case design::ControlKind::Form:
        return nullptr;
    }
    const HWND control =
        ::CreateWindowExW(exStyle, kind, row.Caption, style, 0, 0, 0, 0, window_,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(FirstControlId + position)), instance_, nullptr);
    // No length limit (the default is 30,000 characters).
    if (row.Kind == design::ControlKind::TextBox)
        ::SendMessageW(control, EM_SETLIMITTEXT, 0, 0);
    return control;
}

void Form1::OnCreate()
{
    std::array<HWND, design::Controls.size()> controls{};
    for (std::size_t position = 0; position < controls.size(); ++position) {
        // Timer1, the counting thread, is a member; its place in the design's
        // order is where it gets its interval.
        if (position == design::Timer1.CreatedAfter)
            Timer1.SetInterval(design::Timer1.IntervalMs);
        controls.at(position) = CreateControl(position);
    }
    Text1 = controls[design::Text1];
    Command1 = controls[design::Command1];
    Option2 = controls[design::Option2];
    Option1 = controls[design::Option1];

    // The dialog manager takes the tab order, and the option buttons' group,
    // from the z-order.
    HWND previous = HWND_TOP;
    for (const design::Position position : design::TabOrder) {
        ::SetWindowPos(controls.at(position), previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        previous = controls.at(position);
    }

    // Radio buttons report BN_CLICKED when they merely get the focus, and
    // take WS_TABSTOP from whichever is marked; the subclass undoes both.
    buttonProc_ = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(Option1, GWLP_WNDPROC));
    for (HWND option : {Option1, Option2})
        ::SetWindowLongPtrW(option, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(OptionProc));
    ::SetWindowLongPtrW(Command1, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Command1Proc));

    Layout(WindowDpi(window_));
}

LRESULT CALLBACK Form1::Command1Proc(HWND button, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *form = reinterpret_cast<Form1 *>(::GetWindowLongPtrW(::GetParent(button), GWLP_USERDATA));
    if (form == nullptr)
        return ::DefWindowProcW(button, message, wParam, lParam);
    const LRESULT result = ::CallWindowProcW(form->buttonProc_, button, message, wParam, lParam);
    // The dialog manager makes a push button that gets the focus the default
    // one, which Enter presses; Command1 does not take part, so that Enter
    // never ends the count.  Space still presses it.
    if (message == WM_GETDLGCODE)
        return result & ~(DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON);
    return result;
}

LRESULT CALLBACK Form1::OptionProc(HWND button, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *form = reinterpret_cast<Form1 *>(::GetWindowLongPtrW(::GetParent(button), GWLP_USERDATA));
    if (form == nullptr)
        return ::DefWindowProcW(button, message, wParam, lParam);
    switch (message) {
    case WM_SETFOCUS: {
        // An unmarked auto radio button may also mark itself on the focus.
        const LRESULT option1 = ::SendMessageW(form->Option1, BM_GETCHECK, 0, 0);
        const LRESULT option2 = ::SendMessageW(form->Option2, BM_GETCHECK, 0, 0);
        ++form->focusArriving_;
        const LRESULT result = ::CallWindowProcW(form->buttonProc_, button, message, wParam, lParam);
        --form->focusArriving_;
        if (::SendMessageW(form->Option1, BM_GETCHECK, 0, 0) != option1)
            ::SendMessageW(form->Option1, BM_SETCHECK, option1, 0);
        if (::SendMessageW(form->Option2, BM_GETCHECK, 0, 0) != option2)
            ::SendMessageW(form->Option2, BM_SETCHECK, option2, 0);
        return result;
    }
    case BM_SETCHECK: {
        // USER32 leaves WS_TABSTOP on the marked radio button only, so that Tab
        // would skip the other one; both stay in the tab order.
        const LRESULT result = ::CallWindowProcW(form->buttonProc_, button, message, wParam, lParam);
        const LONG_PTR style = ::GetWindowLongPtrW(button, GWL_STYLE);
        if ((style & WS_TABSTOP) == 0)
            ::SetWindowLongPtrW(button, GWL_STYLE, style | WS_TABSTOP);
        return result;
    }
    default:
        return ::CallWindowProcW(form->buttonProc_, button, message, wParam, lParam);
    }
}

void Form1::OnCommand(int id, int code)
{
    if (code != BN_CLICKED)
        return;
    switch (id) {
    case Command1Id:
        // The window stays until the program is gone: no close follows.
        EndCounting();
        break;
    case Option1Id:
    case Option2Id:
        // Choosing the marked button again reopens its port.
        if (focusArriving_ == 0)
            id == Option1Id ? logic_.Option1Chosen() : logic_.Option2Chosen();
        break;
    default:
        // IDOK and IDCANCEL, which IsDialogMessage sends for Enter and Esc.
        break;
    }
}

void Form1::OnDpiChanged(UINT dpi, const RECT &suggested)
{
    Layout(dpi);
    ::SetWindowPos(window_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                   suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void Form1::Layout(UINT dpi)
{
    for (std::size_t position = 0; position < design::Controls.size(); ++position) {
        const design::Control &row = design::Controls.at(position);
        const HWND control = ::GetDlgItem(window_, FirstControlId + static_cast<int>(position));
        Place(control, row.Place, dpi);
        const HFONT old = std::exchange(fonts_.at(position), DesignFont(row.Font, dpi));
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.at(position)), TRUE);
        if (old != nullptr)
            ::DeleteObject(old);
    }
}

// Every way out of the program comes here, and the end sequence runs once;
// the first end's status is the exit status:
// - Command1, clicked or pressed with Space: the loop ends, the window stays
//   until the process is gone, and no WM_CLOSE follows;
// - WM_CLOSE: the close button, the window menu, Alt+F4;
// - WM_ENDSESSION: log-off or shutdown, after which Windows ends the process;
// - WM_DESTROY: the window destroyed without a WM_CLOSE.
void Form1::EndCounting()
{
    const counting::EndResult end = logic_.End();
    ShowHandedText();
    if (!end.Notice.empty())
        ShowNotice(end.Notice);
    ::PostQuitMessage(end.Status);
}

// Called on either thread; the text reaches the control on the window's
// thread only.
void Form1::SetText1(const std::string &text)
{
    if (handedText_.Hand(text))
        ::PostMessageW(window_, TextHandedOver, 0, 0);
}

void Form1::ShowHandedText()
{
    const std::optional<std::string> text = handedText_.Take();
    if (!text)
        return;
    ::SetWindowTextW(Text1, Wide(*text).c_str());
    // A line wider than the box shows from its beginning.
    ::SendMessageW(Text1, EM_SETSEL, 0, 0);
    ::SendMessageW(Text1, EM_SCROLLCARET, 0, 0);
}

void Form1::MarkOption1()
{
    ::SendMessageW(Option1, BM_SETCHECK, BST_CHECKED, 0);
    ::SendMessageW(Option2, BM_SETCHECK, BST_UNCHECKED, 0);
}

void Form1::MarkOption2()
{
    ::SendMessageW(Option2, BM_SETCHECK, BST_CHECKED, 0);
    ::SendMessageW(Option1, BM_SETCHECK, BST_UNCHECKED, 0);
}

void Form1::SetTimer1Interval(int milliseconds) { Timer1.SetInterval(milliseconds); }

void Form1::ShowNotice(const std::string &text)
{
    // No icon, one OK button; modal to the window unless it is going away.
    ::MessageBoxW(destroying_ ? nullptr : window_, Wide(text).c_str(), NoticeTitle, MB_OK);
}
