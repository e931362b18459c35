#pragma once
// Small value types shared by the viewer's parser, document model and control.

#include <cstdint>
#include <string>
#include <string_view>

class QString;

// A colour as 0x00RRGGBB. clNone marks "no colour given".
using TColor = std::uint32_t;
constexpr TColor clNone = 0xFF000000u;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clBlue = 0x0000FF;
constexpr TColor clPurple = 0x800080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clGray = 0x808080;
// The desktop colours the viewer was designed against, fixed so that the
// picture does not depend on the desktop theme.
constexpr TColor clBtnFace = 0xF0F0F0;
constexpr TColor clWindow = 0xFFFFFF;
constexpr TColor clWindowText = 0x000000;
constexpr TColor clBtnShadow = 0xA0A0A0;
constexpr TColor clBtnHighlight = 0xFFFFFF;

// Character codes with a meaning inside the text of a section. Real text never
// contains them: the parser drops stray control characters of the input.
namespace htmlchar {
constexpr char BreakHint = 1;     // zero-width break opportunity (WBR in no-break mode)
constexpr char FormControl = 2;   // a form control, a line may break here
constexpr char Image = 4;         // an image, a line may break here
constexpr char NbSpace = 5;       // a space in no-break mode
constexpr char NbFormControl = 6; // a form control in no-break mode
constexpr char NbImage = 7;       // an image in no-break mode
constexpr char LineEnd = 13;      // CR: ends a line of preformatted text
constexpr char EndOfText = 26;
} // namespace htmlchar

// Text in the viewer is held as Windows-1252 bytes; these convert for drawing
// and for code points given as numeric entities.
char16_t Cp1252ToUnicode(unsigned char c);
// The Windows-1252 byte for a Unicode code point, '?' when it has none.
unsigned char UnicodeToCp1252(std::uint32_t codePoint);
QString Cp1252ToQString(std::string_view text);
