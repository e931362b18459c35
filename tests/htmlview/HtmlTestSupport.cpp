#include "HtmlTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace htmltest {

Parsed Parse(const std::string& html, int defFontSize)
{
    Parsed p;
    p.Doc->DefFontSize = defFontSize;
    THtmlParser parser;
    p.Result = parser.ParseDocument(html, *p.Doc);
    return p;
}

namespace {

std::string Escape(const std::string& text)
{
    std::string out;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 32 || c > 126) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out;
}

} // namespace

std::string Describe(const TCell& cell)
{
    std::string out;
    for (const auto& block : cell.Blocks) {
        if (!out.empty())
            out += "|";
        const TSectionBase* b = block.get();
        if (dynamic_cast<const TParagraphSpace*>(b)) {
            out += "P";
        } else if (auto* h = dynamic_cast<const THeadingSpace*>(b)) {
            out += "H" + std::to_string(h->HeadingLevel);
        } else if (dynamic_cast<const THorzLine*>(b)) {
            out += "HR";
        } else if (auto* t = dynamic_cast<const THtmlTable*>(b)) {
            std::size_t cols = 0;
            for (const auto& row : t->Rows)
                cols = std::max(cols, row.Cells.size());
            out += "TABLE" + std::to_string(t->Rows.size()) + "x" + std::to_string(cols);
        } else if (auto* s = dynamic_cast<const TSection*>(b)) {
            if (s->BlankLine && s->IsEmpty()) {
                out += "BL";
                continue;
            }
            if (auto* ol = dynamic_cast<const TOListItem*>(s))
                out += "OL" + std::to_string(ol->Level) + "#" + std::to_string(ol->Number) + ol->Style;
            else if (dynamic_cast<const TUListItem*>(s))
                out += "UL" + std::to_string(s->Level);
            else if (dynamic_cast<const TDListItem*>(s))
                out += "DL" + std::to_string(s->Level);
            else if (s->Preformatted)
                out += "PRE";
            else
                out += "S";
            out += ":" + Escape(s->Text);
        } else {
            out += "?";
        }
    }
    return out;
}

const TSection& SectionAt(const TCell& cell, std::size_t index)
{
    static TSection empty(nullptr, 1, 0);
    if (index >= cell.Blocks.size()) {
        ADD_FAILURE() << "no block " << index;
        return empty;
    }
    auto* s = dynamic_cast<const TSection*>(cell.Blocks[index].get());
    if (!s) {
        ADD_FAILURE() << "block " << index << " is not a section";
        return empty;
    }
    return *s;
}

} // namespace htmltest
