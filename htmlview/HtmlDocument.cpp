#include "htmlview/HtmlDocument.h"

#include <QPainter>

#include <algorithm>

namespace {

QColor ToQColor(TColor c)
{
    return QColor((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
}

bool IsPlaceholder(char c)
{
    return c == htmlchar::Image || c == htmlchar::FormControl || c == htmlchar::NbImage ||
           c == htmlchar::NbFormControl;
}

// Where a line may end: after a space, a break hint, or at a breakable
// placeholder.
bool IsBreakChar(char c)
{
    return c == ' ' || c == htmlchar::Image || c == htmlchar::FormControl || c == htmlchar::BreakHint;
}

// Vertical shift of super- and subscript text.
int ScriptShift(const TFontData& data)
{
    return data.Ascent / 3;
}

} // namespace

const TAttribute* FindAttribute(const TAttributeList& list, TAttrSymbol which)
{
    for (const TAttribute& a : list)
        if (a.Which == which)
            return &a;
    return nullptr;
}

// ---------------------------------------------------------------------------
// TSectionBase, TCell

int TSectionBase::DoLayout(TLayoutContext&, int y, int left, int)
{
    Y = y;
    Height = FixedHeight();
    Right = left;
    return Height;
}

void TSectionBase::Draw(TDrawContext&) const {}

void TSectionBase::MinMaxWidth(TLayoutContext&, int& minWidth, int& maxWidth)
{
    minWidth = maxWidth = 0;
}

bool TSectionBase::FindLink(int, int, TLinkHit&) const
{
    return false;
}

void TSectionBase::ForEachSection(const std::function<void(TSection&)>&) {}

int TSectionBase::IndentPixels() const
{
    return SmallIndent ? 15 : Level * 35;
}

int TCell::LayoutBlocks(TLayoutContext& ctx, int y, int left, int right, int& maxRight)
{
    for (auto& block : Blocks) {
        y += block->DoLayout(ctx, y, left, right);
        maxRight = std::max(maxRight, block->Right);
    }
    return y;
}

void TCell::DrawBlocks(TDrawContext& dc) const
{
    // Blocks are stacked, so both their tops and their bottoms ascend.
    auto first = std::partition_point(Blocks.begin(), Blocks.end(), [&](const std::unique_ptr<TSectionBase>& b) {
        return b->Y + b->Height <= dc.Clip.top();
    });
    for (auto it = first; it != Blocks.end() && (*it)->Y <= dc.Clip.bottom(); ++it)
        (*it)->Draw(dc);
}

void TCell::MinMaxBlocks(TLayoutContext& ctx, int& minWidth, int& maxWidth)
{
    minWidth = maxWidth = 0;
    for (auto& block : Blocks) {
        int mn = 0, mx = 0;
        block->MinMaxWidth(ctx, mn, mx);
        minWidth = std::max(minWidth, mn);
        maxWidth = std::max(maxWidth, mx);
    }
}

bool TCell::FindLinkIn(int x, int y, TLinkHit& hit) const
{
    auto first = std::partition_point(Blocks.begin(), Blocks.end(),
                                      [&](const std::unique_ptr<TSectionBase>& b) { return b->Y + b->Height <= y; });
    for (auto it = first; it != Blocks.end() && (*it)->Y <= y; ++it)
        if ((*it)->FindLink(x, y, hit))
            return true;
    return false;
}

void TCell::ShiftBlocks(int dy)
{
    for (auto& block : Blocks)
        block->ShiftY(dy);
}

void TCell::ForEachSectionIn(const std::function<void(TSection&)>& f)
{
    for (auto& block : Blocks)
        block->ForEachSection(f);
}

// ---------------------------------------------------------------------------
// Spaces and rules

int TParagraphSpace::FixedHeight() const
{
    return 14 * Document->DefFontSize / 12;
}

int THeadingSpace::FixedHeight() const
{
    static const int heights[7] = {8, 16, 12, 10, 8, 6, 4};
    const int level = HeadingLevel >= 0 && HeadingLevel <= 6 ? HeadingLevel : 0;
    return heights[level] * Document->DefFontSize / 12;
}

int THorzLine::FixedHeight() const
{
    return 20 * Document->DefFontSize / 12 + Thickness - 2;
}

int THorzLine::DoLayout(TLayoutContext& ctx, int y, int left, int right)
{
    TSectionBase::DoLayout(ctx, y, left, right);
    m_left = left + IndentPixels();
    m_right = std::max(m_left, right);
    Right = m_right;
    return Height;
}

void THorzLine::Draw(TDrawContext& dc) const
{
    const int avail = m_right - m_left;
    int x, width;
    if (WidthValue <= 0) {
        x = m_left + 10;
        width = avail - 20;
    } else {
        width = Percent ? WidthValue * avail / 100 : WidthValue;
        if (Align == 1)
            x = m_left;
        else if (Align == 3)
            x = m_right - width;
        else
            x = m_left + (avail - width) / 2;
    }
    if (width <= 0)
        return;
    const int top = Y + (Height - Thickness) / 2;
    QPainter& p = dc.Painter;
    if (Color != clNone) {
        p.fillRect(x, top, width, Thickness, ToQColor(Color));
        return;
    }
    TColor dark = clBtnShadow, light = clBtnHighlight;
    if (dc.Document.EffectiveBackground() == clWhite)
        light = clSilver;
    if (NoShade)
        dark = light = clBlack;
    p.fillRect(x, top, width, 1, ToQColor(dark));
    p.fillRect(x, top, 1, Thickness, ToQColor(dark));
    p.fillRect(x, top + Thickness - 1, width, 1, ToQColor(light));
    p.fillRect(x + width - 1, top, 1, Thickness, ToQColor(light));
}

// ---------------------------------------------------------------------------
// TSection

TSection::TSection(TSectionList* document, int align, int level) : TSectionBase(document), Align(align)
{
    Level = level;
}

void TSection::SetFont(const TFontObj& font)
{
    const int pos = static_cast<int>(Text.size());
    if (!Fonts.empty()) {
        TFontObj& last = Fonts.back();
        if (last.Font == font.Font && last.LinkId == font.LinkId && last.SScript == font.SScript)
            return;
        if (last.Pos == pos) {
            last = font;
            last.Pos = pos;
            return;
        }
    }
    Fonts.push_back(font);
    Fonts.back().Pos = pos;
}

void TSection::AddText(std::string_view text, const int* positions, const TFontObj& font)
{
    bool fontSet = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        // White space collapses across tokens too, and a line never starts
        // with a blank.
        if (!Preformatted && c == ' ' && (Text.empty() || Text.back() == ' '))
            continue;
        if (!fontSet) {
            SetFont(font);
            fontSet = true;
        }
        Text.push_back(c);
        SourcePos.push_back(positions ? positions[i] : 0);
    }
}

void TSection::AddObject(char placeholder, int position, std::unique_ptr<TInlineObj> obj, const TFontObj& font)
{
    SetFont(font);
    obj->Pos = static_cast<int>(Text.size());
    Text.push_back(placeholder);
    SourcePos.push_back(position);
    Objects.push_back(std::move(obj));
}

const TFontObj& TSection::FontAt(int index) const
{
    static const TFontObj none;
    if (Fonts.empty())
        return none;
    auto it = std::upper_bound(Fonts.begin(), Fonts.end(), index,
                               [](int i, const TFontObj& f) { return i < f.Pos; });
    return it == Fonts.begin() ? Fonts.front() : *(it - 1);
}

const TInlineObj* TSection::ObjectAt(int index) const
{
    auto it = std::lower_bound(Objects.begin(), Objects.end(), index,
                               [](const std::unique_ptr<TInlineObj>& o, int i) { return o->Pos < i; });
    return it != Objects.end() && (*it)->Pos == index ? it->get() : nullptr;
}

void TSection::ComputeWidths(TLayoutContext& ctx)
{
    const int n = static_cast<int>(Text.size());
    m_widths.assign(std::size_t(n), 0);
    for (std::size_t f = 0; f < Fonts.size(); ++f) {
        const int from = Fonts[f].Pos;
        const int to = f + 1 < Fonts.size() ? Fonts[f + 1].Pos : n;
        const TFontData& data = ctx.Fonts.Metrics(Fonts[f].Font);
        for (int i = from; i < to && i < n; ++i)
            m_widths[std::size_t(i)] = data.Widths[static_cast<unsigned char>(Text[std::size_t(i)])];
    }
    for (const auto& obj : Objects)
        if (obj->Pos >= 0 && obj->Pos < n)
            m_widths[std::size_t(obj->Pos)] = obj->Width + 2 * obj->HSpace + 2 * obj->Border;
}

int TSection::DoLayout(TLayoutContext& ctx, int y, int left, int right)
{
    Y = y;
    Lines.clear();
    MinWidth = 0;
    ComputeWidths(ctx);
    left += IndentPixels();
    if (right < left)
        right = left;
    Right = left;
    const int n = static_cast<int>(Text.size());
    if (n == 0) {
        Height = (BlankLine && !Fonts.empty()) ? ctx.Fonts.Metrics(Fonts.front().Font).Height : 0;
        return Height;
    }

    const int avail = Preformatted ? 32000 : right - left;
    const int* w = m_widths.data();
    const char* t = Text.data();
    std::size_t fontIndex = 0;
    int top = 0;
    int i = 0;
    while (i < n) {
        int end;
        bool overflow = false;
        if (Preformatted) {
            end = i;
            while (end < n && t[end] != htmlchar::LineEnd)
                ++end;
            if (end < n)
                ++end; // the CR belongs to its line
        } else {
            int fit = 0, sum = 0;
            while (i + fit < n && sum + w[i + fit] <= avail) {
                sum += w[i + fit];
                ++fit;
            }
            if (fit == 0)
                fit = 1;
            const int cut = i + fit;
            if (cut >= n) {
                end = n;
            } else if (t[cut] == ' ') {
                end = cut;
                while (end < n && t[end] == ' ')
                    ++end;
            } else if (t[cut] == htmlchar::Image || t[cut] == htmlchar::FormControl) {
                end = cut;
            } else {
                int k = cut - 1;
                while (k > i && !IsBreakChar(t[k]))
                    --k;
                if (k > i) {
                    end = k + 1;
                } else {
                    // One word wider than the line: it runs on and overflows.
                    end = cut;
                    while (end < n && !IsBreakChar(t[end]))
                        ++end;
                    while (end < n && t[end] == ' ')
                        ++end;
                    overflow = true;
                }
            }
        }

        // Height: the tallest font in the line, raised for objects.
        while (fontIndex + 1 < Fonts.size() && Fonts[fontIndex + 1].Pos <= i)
            ++fontIndex;
        int ascent = 0, descent = 0;
        for (std::size_t f = fontIndex; f < Fonts.size() && Fonts[f].Pos < end; ++f) {
            const TFontData& data = ctx.Fonts.Metrics(Fonts[f].Font);
            int a = data.Ascent, d = data.Descent;
            if (Fonts[f].SScript == 1)
                a += ScriptShift(data);
            else if (Fonts[f].SScript == 2)
                d += ScriptShift(data);
            ascent = std::max(ascent, a);
            descent = std::max(descent, d);
        }
        for (int k = i; k < end; ++k) {
            if (!IsPlaceholder(t[k]))
                continue;
            const TInlineObj* obj = ObjectAt(k);
            if (!obj)
                continue;
            const int h = obj->Height + 2 * obj->VSpace + 2 * obj->Border;
            if (obj->Kind == TInlineKind::FormControl || obj->Align == 0) {
                ascent = std::max(ascent, h);
            } else if (obj->Align == 1) {
                ascent = std::max(ascent, h / 2);
                descent = std::max(descent, h - h / 2);
            } else {
                descent = std::max(descent, h - ascent);
            }
        }

        int lineWidth = 0;
        for (int k = i; k < end; ++k)
            lineWidth += w[k];
        int textWidth = lineWidth;
        for (int k = end - 1; k >= i && (t[k] == ' ' || t[k] == htmlchar::LineEnd); --k)
            textWidth -= w[k];

        int x = left;
        if (Align == 2)
            x = std::max(left, left + (avail - textWidth) / 2);
        else if (Align == 3)
            x = std::max(left, right - textWidth - 1);

        TLineRec line;
        line.Start = i;
        line.Count = end - i;
        line.X = x;
        line.Top = top;
        line.Height = ascent + descent;
        line.Ascent = ascent;
        line.TextWidth = textWidth;
        Lines.push_back(line);
        if (overflow)
            MinWidth = std::max(MinWidth, textWidth);
        Right = std::max(Right, x + textWidth);
        top += line.Height;
        i = end;
    }
    Height = top;
    return Height;
}

void TSection::MinMaxWidth(TLayoutContext& ctx, int& minWidth, int& maxWidth)
{
    ComputeWidths(ctx);
    minWidth = maxWidth = 0;
    int word = 0, line = 0;
    for (std::size_t k = 0; k < Text.size(); ++k) {
        const char c = Text[k];
        line += m_widths[k];
        if (Preformatted) {
            if (c == htmlchar::LineEnd)
                line = 0;
            maxWidth = std::max(maxWidth, line);
            continue;
        }
        if (IsBreakChar(c)) {
            word = (c == htmlchar::Image || c == htmlchar::FormControl) ? m_widths[k] : 0;
        } else {
            word += m_widths[k];
        }
        minWidth = std::max(minWidth, word);
    }
    if (Preformatted)
        minWidth = maxWidth;
    else
        maxWidth = line;
    minWidth += IndentPixels();
    maxWidth += IndentPixels();
}

void TSection::Draw(TDrawContext& dc) const
{
    if (Lines.empty())
        return;
    const TSectionList& doc = dc.Document;
    auto first = std::partition_point(Lines.begin(), Lines.end(), [&](const TLineRec& l) {
        return Y + l.Top + l.Height <= dc.Clip.top();
    });
    for (auto it = first; it != Lines.end() && Y + it->Top <= dc.Clip.bottom(); ++it) {
        const TLineRec& line = *it;
        if (it == Lines.begin())
            DrawMarker(dc, line);
        const int baseline = Y + line.Top + line.Ascent;
        int x = line.X;
        int end = line.Start + line.Count;
        while (end > line.Start && (Text[std::size_t(end - 1)] == ' ' || Text[std::size_t(end - 1)] == htmlchar::LineEnd))
            --end;
        int k = line.Start;
        while (k < end) {
            const TFontObj& run = FontAt(k);
            if (IsPlaceholder(Text[std::size_t(k)])) {
                if (const TInlineObj* obj = ObjectAt(k)) {
                    const int bx = x + obj->HSpace;
                    int by;
                    const int h = obj->Height + 2 * obj->Border;
                    if (obj->Kind == TInlineKind::FormControl || obj->Align == 0)
                        by = baseline - obj->VSpace - h;
                    else if (obj->Align == 1)
                        by = baseline - h / 2;
                    else
                        by = Y + line.Top + obj->VSpace;
                    QRect box(bx + obj->Border, by + obj->Border, obj->Width, obj->Height);
                    if (obj->Kind == TInlineKind::Image) {
                        if (obj->Image)
                            obj->Image->Draw(dc.Painter, box);
                        if (obj->Border > 0) {
                            TColor bc = run.LinkId ? run.Font.Color : doc.FontColor;
                            dc.Painter.fillRect(bx, by, obj->Width + 2 * obj->Border, obj->Border, ToQColor(bc));
                            dc.Painter.fillRect(bx, by + h - obj->Border, obj->Width + 2 * obj->Border, obj->Border,
                                                ToQColor(bc));
                            dc.Painter.fillRect(bx, by, obj->Border, h, ToQColor(bc));
                            dc.Painter.fillRect(bx + obj->Width + obj->Border, by, obj->Border, h, ToQColor(bc));
                        }
                    } else {
                        dc.Painter.fillRect(box, ToQColor(clWindow));
                        dc.Painter.setPen(ToQColor(clGray));
                        dc.Painter.drawRect(box.adjusted(0, 0, -1, -1));
                        if (!obj->Text.empty()) {
                            TMyFont f = run.Font;
                            f.Underline = false;
                            const TFontData& data = dc.Fonts.Metrics(f);
                            dc.Painter.save();
                            dc.Painter.setClipRect(box.adjusted(1, 1, -1, -1), Qt::IntersectClip);
                            dc.Fonts.DrawText(dc.Painter, f, box.left() + 4,
                                              box.top() + (box.height() + data.Ascent - data.Descent) / 2, obj->Text,
                                              clWindowText);
                            dc.Painter.restore();
                        }
                    }
                }
                x += m_widths[std::size_t(k)];
                ++k;
                continue;
            }
            // A run of plain characters in one font.
            const int nextFont = [&] {
                auto itf = std::upper_bound(Fonts.begin(), Fonts.end(), k,
                                            [](int i, const TFontObj& f) { return i < f.Pos; });
                return itf == Fonts.end() ? end : std::min(end, itf->Pos);
            }();
            int stop = k;
            int runWidth = 0;
            while (stop < nextFont && !IsPlaceholder(Text[std::size_t(stop)])) {
                runWidth += m_widths[std::size_t(stop)];
                ++stop;
            }
            TMyFont font = run.Font;
            TColor color = clNone;
            if (run.LinkId) {
                font.Underline = font.Underline || !doc.NoLinkUnderline;
                if (doc.OverLinksActive && run.LinkId == dc.HoverLinkId)
                    color = doc.EffectiveOverColor();
                else if (run.Visited)
                    color = doc.EffectiveVisitedColor();
            }
            int y = baseline;
            if (run.SScript) {
                const int shift = ScriptShift(dc.Fonts.Metrics(font));
                y += run.SScript == 1 ? -shift : shift;
            }
            dc.Fonts.DrawText(dc.Painter, font, x, y, std::string_view(Text).substr(std::size_t(k), std::size_t(stop - k)),
                              color);
            x += runWidth;
            k = stop;
        }
    }
}

bool TSection::FindLink(int x, int y, TLinkHit& hit) const
{
    for (const TLineRec& line : Lines) {
        if (y < Y + line.Top || y >= Y + line.Top + line.Height)
            continue;
        int cx = line.X;
        for (int k = line.Start; k < line.Start + line.Count; ++k) {
            const int w = m_widths[std::size_t(k)];
            if (x >= cx && x < cx + w) {
                if (cx - line.X >= line.TextWidth)
                    return false;
                const TFontObj& f = FontAt(k);
                if (!f.LinkId)
                    return false;
                hit.LinkId = f.LinkId;
                hit.Url = f.Url;
                hit.Target = f.Target;
                return true;
            }
            cx += w;
        }
        return false;
    }
    return false;
}

// ---------------------------------------------------------------------------
// List items

void TUListItem::DrawMarker(TDrawContext& dc, const TLineRec& line) const
{
    if (Plain || Fonts.empty())
        return;
    const TFontData& data = dc.Fonts.Metrics(Fonts.front().Font);
    const int size = std::max(3, data.Ascent / 3);
    const int cx = line.X - 10 - size / 2;
    const int cy = Y + line.Top + line.Ascent - data.Ascent / 3 - size / 2;
    QPainter& p = dc.Painter;
    const QColor c = ToQColor(Fonts.front().Font.Color);
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    switch (Level % 3) {
    case 1:
    case -1:
        p.setPen(c);
        p.setBrush(c);
        p.drawEllipse(cx, cy, size, size);
        break;
    case 2:
        p.setPen(c);
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(cx, cy, size, size);
        break;
    default:
        p.fillRect(cx, cy, size, size, c);
        break;
    }
    p.restore();
}

std::string TOListItem::NumberText(int number, char style)
{
    if ((style == 'a' || style == 'A') && number > 0) {
        std::string s;
        for (int n = number; n > 0; n = (n - 1) / 26)
            s.insert(s.begin(), static_cast<char>((style == 'a' ? 'a' : 'A') + (n - 1) % 26));
        return s;
    }
    if ((style == 'i' || style == 'I') && number > 0 && number < 4000) {
        static const struct {
            int Value;
            const char* Text;
        } romans[] = {{1000, "m"}, {900, "cm"}, {500, "d"}, {400, "cd"}, {100, "c"}, {90, "xc"}, {50, "l"},
                      {40, "xl"},  {10, "x"},   {9, "ix"},  {5, "v"},    {4, "iv"},  {1, "i"}};
        std::string s;
        int n = number;
        for (const auto& r : romans)
            while (n >= r.Value) {
                s += r.Text;
                n -= r.Value;
            }
        if (style == 'I')
            for (char& c : s)
                c = static_cast<char>(c - 32);
        return s;
    }
    return std::to_string(number);
}

void TOListItem::DrawMarker(TDrawContext& dc, const TLineRec& line) const
{
    if (Fonts.empty())
        return;
    TMyFont font = Fonts.front().Font;
    font.Underline = false;
    const std::string text = NumberText(Number, Style) + ".";
    const int width = dc.Fonts.TextWidth(font, text);
    dc.Fonts.DrawText(dc.Painter, font, line.X - 5 - width, Y + line.Top + line.Ascent, text, clNone);
}

// ---------------------------------------------------------------------------
// Tables

int THtmlTable::ColumnCount() const
{
    int count = 0;
    for (const Row& row : Rows) {
        int n = 0;
        for (const auto& cell : row.Cells)
            n += cell->ColSpan;
        count = std::max(count, n);
    }
    return count;
}

void THtmlTable::ColumnWidths(TLayoutContext& ctx, std::vector<int>& minW, std::vector<int>& maxW)
{
    const int n = ColumnCount();
    minW.assign(std::size_t(n), 0);
    maxW.assign(std::size_t(n), 0);
    const int frame = 2 * CellPadding + (Border > 0 ? 2 : 0);
    // Single-column cells first, then spanning cells widen their columns.
    for (int pass = 0; pass < 2; ++pass) {
        for (Row& row : Rows) {
            int col = 0;
            for (auto& cell : row.Cells) {
                const int span = cell->ColSpan;
                if ((span == 1) == (pass == 0)) {
                    int mn = 0, mx = 0;
                    cell->Content.MinMaxBlocks(ctx, mn, mx);
                    mn += frame;
                    mx += frame;
                    if (cell->WidthValue > 0 && !cell->Percent)
                        mx = std::max(mn, cell->WidthValue);
                    mx = std::max(mx, mn);
                    int haveMin = 0, haveMax = 0;
                    for (int c = col; c < col + span; ++c) {
                        haveMin += minW[std::size_t(c)];
                        haveMax += maxW[std::size_t(c)];
                    }
                    const int spacing = CellSpacing * (span - 1);
                    for (int c = col; c < col + span; ++c) {
                        if (mn - spacing > haveMin)
                            minW[std::size_t(c)] += (mn - spacing - haveMin) / span + (c == col ? (mn - spacing - haveMin) % span : 0);
                        if (mx - spacing > haveMax)
                            maxW[std::size_t(c)] += (mx - spacing - haveMax) / span + (c == col ? (mx - spacing - haveMax) % span : 0);
                    }
                }
                col += span;
            }
        }
    }
    for (int c = 0; c < n; ++c)
        maxW[std::size_t(c)] = std::max(maxW[std::size_t(c)], minW[std::size_t(c)]);
}

void THtmlTable::MinMaxWidth(TLayoutContext& ctx, int& minWidth, int& maxWidth)
{
    if (m_minMaxGen != ctx.MinMaxGeneration) {
        std::vector<int> minW, maxW;
        ColumnWidths(ctx, minW, maxW);
        const int extras = CellSpacing * (int(minW.size()) + 1) + 2 * Border;
        m_min = extras;
        m_max = extras;
        for (std::size_t c = 0; c < minW.size(); ++c) {
            m_min += minW[c];
            m_max += maxW[c];
        }
        if (WidthValue > 0 && !Percent)
            m_max = std::max(m_min, WidthValue);
        if (Caption) {
            int mn = 0, mx = 0;
            Caption->Content.MinMaxBlocks(ctx, mn, mx);
            m_min = std::max(m_min, mn);
        }
        m_minMaxGen = ctx.MinMaxGeneration;
    }
    minWidth = m_min + IndentPixels();
    maxWidth = m_max + IndentPixels();
}

int THtmlTable::DoLayout(TLayoutContext& ctx, int y, int left, int right)
{
    Y = y;
    left += IndentPixels();
    const int avail = std::max(0, right - left);
    std::vector<int> minW, maxW;
    ColumnWidths(ctx, minW, maxW);
    const int cols = static_cast<int>(minW.size());
    const int extras = CellSpacing * (cols + 1) + 2 * Border;
    long sumMin = 0, sumMax = 0;
    for (int c = 0; c < cols; ++c) {
        sumMin += minW[std::size_t(c)];
        sumMax += maxW[std::size_t(c)];
    }
    int target;
    if (WidthValue > 0)
        target = Percent ? WidthValue * avail / 100 : WidthValue;
    else
        target = static_cast<int>(std::min<long>(avail, sumMax + extras));
    target = static_cast<int>(std::max<long>(target, sumMin + extras));

    std::vector<int> widths(std::size_t(cols), 0);
    const long inner = target - extras;
    if (inner >= sumMax) {
        long given = 0;
        for (int c = 0; c < cols; ++c) {
            long extra = sumMax > 0 ? (inner - sumMax) * maxW[std::size_t(c)] / sumMax : (inner - sumMax) / cols;
            widths[std::size_t(c)] = static_cast<int>(maxW[std::size_t(c)] + extra);
            given += widths[std::size_t(c)];
        }
        if (cols > 0)
            widths[std::size_t(cols - 1)] += static_cast<int>(inner - given);
    } else if (inner <= sumMin || sumMax == sumMin) {
        for (int c = 0; c < cols; ++c)
            widths[std::size_t(c)] = minW[std::size_t(c)];
    } else {
        long given = 0;
        for (int c = 0; c < cols; ++c) {
            widths[std::size_t(c)] = static_cast<int>(
                minW[std::size_t(c)] + (long(maxW[std::size_t(c)]) - minW[std::size_t(c)]) * (inner - sumMin) / (sumMax - sumMin));
            given += widths[std::size_t(c)];
        }
        if (cols > 0)
            widths[std::size_t(cols - 1)] += static_cast<int>(inner - given);
    }

    m_width = target;
    m_x = Align == 2 ? left + std::max(0, (avail - target) / 2) : Align == 3 ? std::max(left, right - target) : left;
    int maxRight = m_x + target;
    int rowY = y;
    if (Caption) {
        rowY = Caption->Content.LayoutBlocks(ctx, y, m_x, m_x + target, maxRight);
        Caption->X = m_x;
        Caption->CellY = y;
        Caption->W = target;
        Caption->H = rowY - y;
    }
    const int b1 = Border > 0 ? 1 : 0;
    rowY += Border + CellSpacing;
    for (Row& row : Rows) {
        int x = m_x + Border + CellSpacing;
        int col = 0;
        int rowHeight = 0;
        for (auto& cell : row.Cells) {
            int w = CellSpacing * (cell->ColSpan - 1);
            for (int c = col; c < col + cell->ColSpan && c < cols; ++c)
                w += widths[std::size_t(c)];
            cell->X = x;
            cell->CellY = rowY;
            cell->W = w;
            const int contentTop = rowY + CellPadding + b1;
            const int reached = cell->Content.LayoutBlocks(ctx, contentTop, x + CellPadding + b1,
                                                           x + w - CellPadding - b1, maxRight);
            cell->ContentHeight = reached - contentTop;
            rowHeight = std::max(rowHeight, cell->ContentHeight + 2 * (CellPadding + b1));
            x += w + CellSpacing;
            col += cell->ColSpan;
        }
        for (auto& cell : row.Cells) {
            cell->H = rowHeight;
            const int valign = cell->VAlign ? cell->VAlign : (row.VAlign ? row.VAlign : 2);
            const int free = rowHeight - cell->ContentHeight - 2 * (CellPadding + b1);
            const int dy = valign == 1 ? 0 : valign == 3 ? free : free / 2;
            if (dy > 0)
                cell->Content.ShiftBlocks(dy);
        }
        rowY += rowHeight + CellSpacing;
    }
    rowY += Border;
    Height = rowY - y;
    Right = maxRight;
    return Height;
}

void THtmlTable::Draw(TDrawContext& dc) const
{
    QPainter& p = dc.Painter;
    const int tableTop = Caption ? Caption->CellY + Caption->H : Y;
    const int tableHeight = Y + Height - tableTop;
    if (Background != clNone)
        p.fillRect(m_x, tableTop, m_width, tableHeight, ToQColor(Background));
    if (Border > 0) {
        p.fillRect(m_x, tableTop, m_width, Border, ToQColor(clBtnHighlight == dc.Document.EffectiveBackground() ? clSilver : clBtnHighlight));
        p.fillRect(m_x, tableTop, Border, tableHeight, ToQColor(clSilver));
        p.fillRect(m_x, tableTop + tableHeight - Border, m_width, Border, ToQColor(clGray));
        p.fillRect(m_x + m_width - Border, tableTop, Border, tableHeight, ToQColor(clGray));
    }
    if (Caption)
        Caption->Content.DrawBlocks(dc);
    for (const Row& row : Rows) {
        for (const auto& cell : row.Cells) {
            if (cell->CellY > dc.Clip.bottom() || cell->CellY + cell->H < dc.Clip.top())
                continue;
            const TColor bg = cell->Background != clNone ? cell->Background : row.Background;
            if (bg != clNone)
                p.fillRect(cell->X, cell->CellY, cell->W, cell->H, ToQColor(bg));
            if (Border > 0) {
                p.fillRect(cell->X, cell->CellY, cell->W, 1, ToQColor(clGray));
                p.fillRect(cell->X, cell->CellY, 1, cell->H, ToQColor(clGray));
                p.fillRect(cell->X, cell->CellY + cell->H - 1, cell->W, 1, ToQColor(clSilver));
                p.fillRect(cell->X + cell->W - 1, cell->CellY, 1, cell->H, ToQColor(clSilver));
            }
            cell->Content.DrawBlocks(dc);
        }
    }
}

bool THtmlTable::FindLink(int x, int y, TLinkHit& hit) const
{
    if (Caption && Caption->Content.FindLinkIn(x, y, hit))
        return true;
    for (const Row& row : Rows)
        for (const auto& cell : row.Cells)
            if (x >= cell->X && x < cell->X + cell->W && y >= cell->CellY && y < cell->CellY + cell->H)
                return cell->Content.FindLinkIn(x, y, hit);
    return false;
}

void THtmlTable::ShiftY(int dy)
{
    Y += dy;
    if (Caption) {
        Caption->CellY += dy;
        Caption->Content.ShiftBlocks(dy);
    }
    for (Row& row : Rows)
        for (auto& cell : row.Cells) {
            cell->CellY += dy;
            cell->Content.ShiftBlocks(dy);
        }
}

void THtmlTable::ForEachSection(const std::function<void(TSection&)>& f)
{
    if (Caption)
        Caption->Content.ForEachSectionIn(f);
    for (Row& row : Rows)
        for (auto& cell : row.Cells)
            cell->Content.ForEachSectionIn(f);
}

// ---------------------------------------------------------------------------
// TSectionList

void TSectionList::Clear()
{
    AnchorNames.clear();
    Blocks.clear();
    LinkColor = BodyVisitedColor = BodyOverColor = BodyBackground = clNone;
    BackgroundImageName.clear();
    BackgroundImage.reset();
    BodyMarginWidth = BodyMarginHeight = -1;
    DocumentHeight = DocumentWidth = 0;
}

int TSectionList::DoLayout(THtmlFontEngine& fonts, int width, int marginWidth, int marginHeight, int extraBottom)
{
    TLayoutContext ctx{fonts, *this, ++m_generation};
    int maxRight = 0;
    const int y = LayoutBlocks(ctx, marginHeight, marginWidth, marginWidth + std::max(0, width), maxRight);
    DocumentHeight = y + marginHeight + extraBottom;
    DocumentWidth = maxRight + marginWidth;
    return DocumentHeight;
}

void TSectionList::Draw(QPainter& painter, THtmlFontEngine& fonts, const QRect& clip, int hoverLinkId) const
{
    painter.fillRect(clip, ToQColor(EffectiveBackground()));
    if (BackgroundImage) {
        const QSize size = BackgroundImage->NaturalSize();
        if (size.width() > 0 && size.height() > 0)
            for (int y = clip.top() / size.height() * size.height(); y <= clip.bottom(); y += size.height())
                for (int x = clip.left() / size.width() * size.width(); x <= clip.right(); x += size.width())
                    BackgroundImage->Draw(painter, QRect(QPoint(x, y), size));
    }
    TDrawContext dc{painter, fonts, *this, clip, hoverLinkId};
    DrawBlocks(dc);
}

bool TSectionList::FindLink(int x, int y, TLinkHit& hit) const
{
    return FindLinkIn(x, y, hit);
}
