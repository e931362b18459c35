#include "htmlview/HtmlSymbols.h"

#include <array>
#include <unordered_map>

namespace {

constexpr std::array<std::string_view, kTagCount> kTags = {
    "HTML",     "TITLE",   "BODY",  "HEAD",     "B",      "I",      "H",      "EM",     "STRONG", "U",
    "CITE",     "VAR",     "TT",    "CODE",     "KBD",    "SAMP",   "OL",     "UL",     "DIR",    "MENU",
    "DL",       "A",       "ADDRESS", "BLOCKQUOTE", "PRE", "CENTER", "TABLE", "TD",    "TH",     "CAPTION",
    "FORM",     "TEXTAREA", "SELECT", "OPTION", "FONT",   "SUB",    "SUP",    "BIG",    "SMALL",  "P",
    "MAP",      "FRAMESET", "NOFRAMES", "SCRIPT", "DIV",  "S",      "STRIKE", "TR",     "NOBR",   "LI",
    "BR",       "HR",      "DD",    "DT",       "IMG",    "BASE",   "BUTTON", "INPUT",  "SELECTED", "BASEFONT",
    "AREA",     "FRAME",   "BGSOUND", "WRAP",   "META",   "WBR"};

constexpr std::array<std::string_view, kAttributeCount> kAttributes = {
    "HREF",   "NAME",     "SRC",        "ALT",         "ALIGN",       "TEXT",       "BGCOLOR",  "LINK",
    "BACKGROUND", "COLSPAN", "ROWSPAN", "BORDER",      "CELLPADDING", "CELLSPACING", "VALIGN",  "WIDTH",
    "START",  "VALUE",    "TYPE",       "CHECKBOX",    "RADIO",       "METHOD",     "ACTION",   "CHECKED",
    "SIZE",   "MAXLENGTH", "COLS",      "ROWS",        "MULTIPLE",    "VALUE",      "SELECTED", "FACE",
    "COLOR",  "TRANSP",   "CLEAR",      "ISMAP",       "BORDERCOLOR", "USEMAP",     "SHAPE",    "COORDS",
    "NOHREF", "HEIGHT",   "PLAIN",      "TARGET",      "NORESIZE",    "SCROLLING",  "HSPACE",   "LANGUAGE",
    "FRAMEBORDER", "MARGINWIDTH", "MARGINHEIGHT", "LOOP", "ONCLICK",  "WRAP",       "NOSHADE",  "HTTP-EQUIV",
    "CONTENT", "ENCTYPE", "VLINK",      "OLINK",       "ACTIVE",      "VSPACE",     "NOWRAP"};

template <std::size_t N>
std::unordered_map<std::string_view, int> MakeIndex(const std::array<std::string_view, N>& table)
{
    // emplace keeps the first entry of a name: the second VALUE is never reached.
    std::unordered_map<std::string_view, int> index;
    for (std::size_t i = 0; i < N; ++i)
        index.emplace(table[i], static_cast<int>(i));
    return index;
}

int Lookup(const std::unordered_map<std::string_view, int>& index, std::string_view name)
{
    auto it = index.find(name);
    return it == index.end() ? -1 : it->second;
}

} // namespace

int TagIndex(std::string_view upperName)
{
    static const auto index = MakeIndex(kTags);
    return Lookup(index, upperName);
}

int AttributeIndex(std::string_view upperName)
{
    static const auto index = MakeIndex(kAttributes);
    return Lookup(index, upperName);
}

std::string_view TagName(int index)
{
    return index >= 0 && index < kTagCount ? kTags[std::size_t(index)] : std::string_view();
}
