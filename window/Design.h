// The operator window's design, for the Qt window and the Win32 window alike:
// the form and its controls with their captions, places, fonts and tab
// order, and where the poll's timer comes among them.  Places are in twips
// from the client area's top left (the form's own: from the screen's), so
// that the window keeps its size in inches at any DPI.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace design {

struct Twips
{
    int Left, Top, Width, Height;
};

// Every font of the design has weight 400, is neither italic, underlined nor
// struck through, and is in the Central European character set.
struct FontSpec
{
    const wchar_t *Face;
    double Points;
};
inline constexpr int FontWeight = 400;
inline constexpr int FontCharset = 238;

enum class ControlKind { Form, TextBox, PushButton, OptionButton };

inline constexpr int NoTabStop = -1;

struct Control
{
    const char *Name;
    ControlKind Kind;
    const wchar_t *Caption;
    Twips Place;
    FontSpec Font;
    int TabIndex;
};

inline constexpr Control Form1{"Form1",           ControlKind::Form, L"Orvik KAPIREL ", {2760, 2190, 6555, 4725},
                               {L"Arial", 26.25}, NoTabStop};

// Where each control stands in Controls.
enum Position : std::size_t { Text1, Command1, Option2, Option1 };

// In the order of their creation.
inline constexpr std::array<Control, 4> Controls{{
    {"Text1", ControlKind::TextBox, L"", {1440, 480, 3735, 1695}, {L"Arial", 27.75}, 3},
    {"Command1",
     ControlKind::PushButton,
     L"ukon\u010Den\u00ED \u010D\u00EDt\u00E1n\u00ED",
     {2280, 3240, 1935, 615},
     {L"Arial", 9.75},
     2},
    {"Option2", ControlKind::OptionButton, L"COM2", {5400, 4080, 855, 495}, {L"MS Sans Serif", 8.25}, 1},
    {"Option1", ControlKind::OptionButton, L"COM1", {240, 4080, 975, 495}, {L"MS Sans Serif", 8.25}, 0},
}};
static_assert(std::string_view(Controls[Text1].Name) == "Text1" &&
              std::string_view(Controls[Command1].Name) == "Command1" &&
              std::string_view(Controls[Option2].Name) == "Option2" &&
              std::string_view(Controls[Option1].Name) == "Option1");

// Timer1, the poll, is created after the first CreatedAfter controls.
struct Timer
{
    const char *Name;
    int IntervalMs;
    std::size_t CreatedAfter;
};
inline constexpr Timer Timer1{"Timer1", 20, 2};

// The controls' positions in tab order; a tab index out of range does not compile.
inline constexpr std::array<Position, Controls.size()> TabOrder = [] {
    std::array<Position, Controls.size()> order{};
    for (std::size_t position = 0; position < Controls.size(); ++position)
        order.at(static_cast<std::size_t>(Controls.at(position).TabIndex)) = static_cast<Position>(position);
    return order;
}();

inline constexpr int TwipsPerInch = 1440;

// Halves round up.
constexpr int TwipsToPixels(int twips, int dotsPerInch)
{
    return static_cast<int>((static_cast<long long>(twips) * dotsPerInch + TwipsPerInch / 2) / TwipsPerInch);
}

} // namespace design
