#include "htmlview/HtmlParse.h"

#include "htmlview/HtmlCharset.h"
#include "platform/core/Text.h"

#include <algorithm>
#include <cctype>

namespace {

using htmlscan::CR;
using htmlscan::EofChar;
using htmlscan::IsDigit;
using htmlscan::LF;
using htmlscan::StrToIntDef;

constexpr int kFontScale[7] = {8, 10, 12, 14, 18, 24, 36};

using asciitext::Lower;
using asciitext::Trim;
using asciitext::Upper;
using asciitext::UpperChar;

int AlignFromText(const std::string& value, int fallback)
{
    const std::string v = Lower(Trim(value));
    if (v == "left")
        return 1;
    if (v == "center")
        return 2;
    if (v == "right")
        return 3;
    return fallback;
}

} // namespace

TColor ParseColor(const std::string& text)
{
    static const struct {
        const char* Name;
        TColor Value;
    } names[] = {{"BLACK", 0x000000}, {"MAROON", 0x800000}, {"GREEN", 0x008000},  {"OLIVE", 0x808000},
                 {"NAVY", 0x000080},  {"PURPLE", 0x800080}, {"TEAL", 0x008080},   {"GRAY", 0x808080},
                 {"SILVER", 0xC0C0C0}, {"RED", 0xFF0000},   {"LIME", 0x00FF00},   {"YELLOW", 0xFFFF00},
                 {"BLUE", 0x0000FF},  {"FUCHSIA", 0xFF00FF}, {"AQUA", 0x00FFFF},  {"WHITE", 0xFFFFFF}};
    std::string s = Upper(Trim(text));
    for (const auto& n : names)
        if (s == n.Name)
            return n.Value;
    if (const auto hash = s.find('#'); hash != std::string::npos)
        s.erase(hash, 1);
    if (s.empty() || s.size() > 6 + 2)
        return clNone;
    while (s.size() < 6)
        s += '0';
    TColor value = 0;
    for (char c : s.substr(0, 6)) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return clNone;
        value = value * 16 + TColor(d);
    }
    for (char c : s.substr(6))
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return clNone;
    return value;
}

THtmlParser::THtmlParser() = default;
THtmlParser::~THtmlParser() = default;

// ---------------------------------------------------------------------------
// Blocks and fonts

bool THtmlParser::DocumentStarted() const
{
    for (const auto& block : m_doc->Blocks) {
        const auto* section = dynamic_cast<const TSection*>(block.get());
        if (!section || !section->IsEmpty() || section->BlankLine)
            return true;
    }
    return false;
}

void THtmlParser::AddBlock(std::unique_ptr<TSectionBase> block)
{
    // Spaces stand before a first line box; a rule or a table is one (their
    // markers are not drawn).
    if (!dynamic_cast<const TSection*>(block.get()) && !dynamic_cast<const THeadingSpace*>(block.get()) &&
        !dynamic_cast<const TParagraphSpace*>(block.get()))
        m_pendingMarker.Active = false;
    block->Level = m_level;
    block->StartPos = block->EndPos = std::max(0, m_pos);
    m_cell->Blocks.push_back(std::move(block));
}

void THtmlParser::CloseBlock()
{
    if (!m_section)
        return;
    m_section->EndPos = std::max(0, m_pos);
    if (m_section->IsEmpty() && !m_section->BlankLine) {
        if (const auto* ul = dynamic_cast<const TUListItem*>(m_section)) {
            m_pendingMarker = {true, false, ul->Plain, ul->SmallIndent, 0, '1', ul->Level, m_cell};
        } else if (const auto* ol = dynamic_cast<const TOListItem*>(m_section)) {
            m_pendingMarker = {true, true, false, ol->SmallIndent, ol->Number, ol->Style, ol->Level, m_cell};
        }
    }
    // An empty section is dropped unless an anchor refers to it or it is an
    // empty line of its own.
    if (m_section->IsEmpty() && !m_section->Anchored && !m_section->BlankLine && !m_cell->Blocks.empty() &&
        m_cell->Blocks.back().get() == m_section)
        m_cell->Blocks.pop_back();
    m_section = nullptr;
    m_sectionFromBR = false;
}

TSection& THtmlParser::OpenSection()
{
    CloseBlock();
    std::unique_ptr<TSection> section;
    const PendingMarker marker = m_pendingMarker;
    m_pendingMarker.Active = false;
    if (m_pre) {
        section = std::make_unique<TPreFormated>(m_doc, m_level);
    } else if (marker.Active && marker.Cell == m_cell && marker.Level == m_level) {
        if (marker.Ordered)
            section = std::make_unique<TOListItem>(m_doc, m_align, m_level, marker.Number, marker.Style);
        else
            section = std::make_unique<TUListItem>(m_doc, m_align, m_level, marker.Plain);
        section->SmallIndent = marker.SmallIndent;
    } else {
        section = std::make_unique<TSection>(m_doc, m_align, m_level);
    }
    TSection* raw = section.get();
    AddBlock(std::move(section));
    m_section = raw;
    return *raw;
}

TSection& THtmlParser::CurrentOrNewSection()
{
    return m_section ? *m_section : OpenSection();
}

bool THtmlParser::PushFont(const TMyFont& font, FontKind kind, int headingLevel, int linkId)
{
    if (static_cast<int>(m_fontStack.size()) >= MaxFonts)
        return false;
    m_fontStack.push_back({font, kind, headingLevel, linkId});
    return true;
}

void THtmlParser::PopFont()
{
    // Stray end tags never take a heading or link font away, nor the base.
    if (m_fontStack.size() > 1 && m_fontStack.back().Kind == FontKind::Plain)
        m_fontStack.pop_back();
}

void THtmlParser::PopFontsTo(std::size_t index)
{
    if (index >= 1 && index < m_fontStack.size())
        m_fontStack.resize(index);
}

TFontObj THtmlParser::CurrentFontObj() const
{
    TFontObj f;
    f.Font = TopFont();
    f.Font.Bold = f.Font.Bold || m_bold;
    f.Font.Italic = f.Font.Italic || m_italic;
    f.Font.Underline = f.Font.Underline || m_underline;
    f.Font.StrikeOut = f.Font.StrikeOut || m_strike;
    if (m_sscript) {
        f.SScript = m_sscript;
        f.Font.Size = std::max(1, f.Font.Size * 3 / 4);
    }
    if (m_linkId) {
        f.LinkId = m_linkId;
        f.Url = m_linkUrl;
        f.Target = m_linkTarget;
    }
    return f;
}

int THtmlParser::SizeFromText(const std::string& text) const
{
    const std::string t = Trim(text);
    int index;
    if (t.size() > 1 && (t[0] == '+' || t[0] == '-'))
        index = m_baseSize + StrToIntDef(t, 0);
    else
        index = StrToIntDef(t, 0);
    return std::clamp(index, 1, 7);
}

int THtmlParser::AlignFromAttr(int fallback) const
{
    const TAttribute* a = Attr(AlignSy);
    return a ? AlignFromText(a->Value, fallback) : fallback;
}

// ---------------------------------------------------------------------------
// Parse entry points

TParseResult THtmlParser::ParseDocument(const std::string& text, TSectionList& document, TIncludeCallback include,
                                        TSoundCallback sound, TMetaCallback meta, TScriptCallback script)
{
    TParseResult result;
    Reset(document, result);
    m_onInclude = std::move(include);
    m_onSound = std::move(sound);
    m_onMeta = std::move(meta);
    m_onScript = std::move(script);
    // The parser reads Windows-1252; a UTF-8 page is converted first, so
    // source positions count the converted text.
    const bool utf8 = DeclaresUtf8(text);
    const std::string converted = utf8 ? Utf8ToCp1252(text) : std::string();
    m_input = utf8 ? &converted : &text;
    try {
        OpenSection();
        ReadChar();
        NextSymbol();
        ParseBody(TSymSet());
    } catch (...) {
        // Whatever went wrong ends the parse; what was built stays.
    }
    Finish();
    return result;
}

void THtmlParser::ParsePlainText(const std::string& text, TSectionList& document)
{
    TParseResult result;
    Reset(document, result);
    // A text file says it is UTF-8 only by its byte order mark.
    const bool utf8 = std::string_view(text).starts_with("\xEF\xBB\xBF");
    const std::string converted = utf8 ? Utf8ToCp1252(text) : std::string();
    m_input = utf8 ? &converted : &text;
    m_inScript = true; // no comments in plain text
    try {
        TMyFont font = TopFont();
        font.Name = document.PreFontName;
        font.Fixed = true;
        font.SetNominalSize(10, document.DefFontSize);
        PushFont(font, FontKind::Pre);
        m_pre = true;
        TSection& block = OpenSection();
        const TFontObj fontObj = CurrentFontObj();
        ReadChar();
        while (m_ch != EofChar) {
            m_token.clear();
            m_tokenPos.clear();
            while (m_ch != EofChar && m_token.size() < 200) {
                if (m_ch >= 32 || m_ch == CR)
                    AddTokenChar(static_cast<char>(m_lch), m_pos);
                ReadChar();
            }
            block.AddText(m_token, m_tokenPos.data(), fontObj);
        }
    } catch (...) {
    }
    Finish();
}

void THtmlParser::Reset(TSectionList& document, TParseResult& result)
{
    m_doc = &document;
    m_result = &result;
    m_cell = &document;
    m_section = nullptr;
    m_sectionFromBR = false;
    ResetScan();
    m_align = m_blockAlign = 1;
    m_bold = m_italic = m_underline = m_strike = false;
    m_sscript = 0;
    m_linkId = 0;
    m_nextLinkId = 0;
    m_linkUrl.clear();
    m_linkTarget.clear();
    m_level = 0;
    m_list = nullptr;
    m_pendingMarker = {};
    m_nesting = 0;
    m_inTable = 0;
    m_baseSize = 3;
    m_onSound = nullptr;
    m_onMeta = nullptr;
    m_onScript = nullptr;

    TMyFont base;
    base.Name = document.DefFontName;
    base.Color = document.FontColor;
    base.CharSet = document.CharSet;
    base.SetNominalSize(12, document.DefFontSize);
    m_fontStack.clear();
    m_fontStack.push_back({base, FontKind::Base, -1, 0});
}

void THtmlParser::Finish()
{
    try {
        CloseBlock();
    } catch (...) {
    }
    m_fontStack.clear();
    m_input = nullptr;
    m_include.clear();
    m_doc = nullptr;
    m_result = nullptr;
    m_cell = nullptr;
    m_onInclude = nullptr;
    m_onSound = nullptr;
    m_onMeta = nullptr;
    m_onScript = nullptr;
}

// ---------------------------------------------------------------------------
// Block-level symbols

void THtmlParser::ParseBody(const TSymSet& terminators)
{
    while (m_sy != EofSy) {
        if (terminators.test(m_sy))
            return;
        switch (m_sy) {
        case TitleSy:
            DoTitle();
            break;
        case BodySy:
            DoBody();
            break;
        case HRSy: {
            CloseBlock();
            auto rule = std::make_unique<THorzLine>(m_doc);
            if (const TAttribute* a = Attr(SizeSy); a && a->Numeric > 0)
                rule->Thickness = std::min(a->Numeric, 20);
            if (const TAttribute* a = Attr(WidthSy); a && a->Numeric > 0) {
                const std::string v = Trim(a->Value);
                rule->Percent = !v.empty() && v.back() == '%' && a->Numeric <= 100;
                rule->WidthValue = a->Numeric;
            }
            if (const TAttribute* a = Attr(AlignSy)) {
                const std::string v = Lower(Trim(a->Value));
                rule->Align = v == "left" ? 1 : v == "right" ? 3 : 2;
            }
            if (const TAttribute* a = Attr(ColorSy))
                rule->Color = ParseColor(a->Value);
            rule->NoShade = Attr(NoShadeSy) != nullptr;
            AddBlock(std::move(rule));
            NextSymbol();
            break;
        }
        case CenterSy:
        case DivSy:
            ParseCenterOrDiv(terminators);
            break;
        case OLSy:
        case ULSy:
        case DirSy:
        case MenuSy:
        case DLSy:
        case BlockQuoteSy:
            ParseList(terminators);
            break;
        case LISy:
            DoListItem();
            break;
        case DDSy:
        case DTSy:
            if (m_list) {
                CloseBlock();
                m_pendingMarker.Active = false;
                const int level = m_sy == DDSy ? m_level : std::max(0, m_level - 1);
                auto item = std::make_unique<TDListItem>(m_doc, m_align, level);
                TSection* raw = item.get();
                m_cell->Blocks.push_back(std::move(item));
                raw->StartPos = std::max(0, m_pos);
                m_section = raw;
            }
            NextSymbol();
            break;
        case TableSy:
            ParseTable(terminators);
            break;
        case BaseSy:
            if (const TAttribute* a = Attr(HrefSy))
                m_result->BaseUrl = a->Value;
            if (const TAttribute* a = Attr(TargetSy))
                m_result->BaseTarget = a->Value;
            NextSymbol();
            break;
        case MetaSy:
            DoMeta();
            NextSymbol();
            break;
        case BgSoundSy:
            if (const TAttribute* src = Attr(SrcSy); src && m_onSound) {
                const TAttribute* loop = Attr(LoopSy);
                m_onSound(src->Value, loop ? loop->Numeric : 1);
            }
            NextSymbol();
            break;
        default:
            if (!ParseInline())
                NextSymbol();
            break;
        }
    }
}

void THtmlParser::DoTitle()
{
    NextSymbol();
    while (m_sy == TextSy) {
        m_result->DocumentTitle += m_token;
        NextSymbol();
    }
}

void THtmlParser::DoBody()
{
    if (!DocumentStarted()) {
        if (const TAttribute* a = Attr(TextAttrSy)) {
            const TColor c = ParseColor(a->Value);
            if (c != clNone) {
                m_fontStack.front().Font.Color = c;
                for (FontEntry& f : m_fontStack)
                    if (f.Kind != FontKind::Link)
                        f.Font.Color = c;
                m_doc->FontColor = c;
            }
        }
        if (const TAttribute* a = Attr(LinkSy))
            m_doc->LinkColor = ParseColor(a->Value);
        if (const TAttribute* a = Attr(VLinkSy))
            m_doc->BodyVisitedColor = ParseColor(a->Value);
        if (const TAttribute* a = Attr(OLinkSy)) {
            m_doc->BodyOverColor = ParseColor(a->Value);
            if (m_doc->BodyOverColor != clNone)
                m_doc->OverLinksActive = true;
        }
        if (const TAttribute* a = Attr(BGColorSy))
            m_doc->BodyBackground = ParseColor(a->Value);
        if (const TAttribute* a = Attr(BackgroundSy))
            m_doc->BackgroundImageName = a->Value;
        if (const TAttribute* a = Attr(MarginWidthSy))
            m_doc->BodyMarginWidth = std::clamp(a->Numeric, 0, 200);
        if (const TAttribute* a = Attr(MarginHeightSy))
            m_doc->BodyMarginHeight = std::clamp(a->Numeric, 0, 200);
        OpenSection();
    }
    NextSymbol();
}

void THtmlParser::DoMeta()
{
    const TAttribute* httpEq = Attr(HttpEqSy);
    const TAttribute* name = Attr(NameSy);
    const TAttribute* content = Attr(ContentSy);
    const std::string eq = httpEq ? httpEq->Value : std::string();
    const std::string text = content ? content->Value : std::string();
    if (Lower(eq) == "content-type") {
        static const struct {
            const char* Key;
            int CharSet;
        } charsets[] = {{"1252", 0},    {"8859-1", 0},  {"1253", 161},   {"8859-7", 161}, {"1250", 238},
                        {"8859-2", 238}, {"1251", 204}, {"8859-5", 204}, {"koi8-r", 204}, {"1254", 162},
                        {"8859-3", 162}, {"8859-9", 162}, {"1257", 186}, {"8859-4", 186}};
        const std::string lower = Lower(text);
        for (const auto& c : charsets)
            if (lower.find(c.Key) != std::string::npos) {
                m_fontStack.back().Font.CharSet = c.CharSet;
                break;
            }
    } else if (Lower(eq) == "refresh") {
        // "delay; URL=target"
        const std::string t = Trim(text);
        std::size_t i = 0;
        while (i < t.size() && IsDigit(t[i]))
            ++i;
        if (i > 0) {
            m_result->HasRefresh = true;
            m_result->RefreshDelay = StrToIntDef(t.substr(0, std::min<std::size_t>(i, 9)), 0);
            const std::string lower = Lower(t);
            const std::size_t u = lower.find("url=");
            m_result->RefreshUrl = u == std::string::npos ? std::string() : Trim(t.substr(u + 4));
        }
    }
    if (m_onMeta)
        m_onMeta(eq, text, name ? name->Value : std::string());
}

void THtmlParser::ParseCenterOrDiv(const TSymSet& terminators)
{
    if (m_nesting >= MaxNesting) {
        NextSymbol();
        return;
    }
    CloseBlock();
    const int savedAlign = m_align, savedBlockAlign = m_blockAlign;
    m_align = m_sy == CenterSy ? 2 : AlignFromAttr(m_align);
    m_blockAlign = m_align;
    OpenSection();
    TSymSet inner = terminators;
    inner.set(EndTag(CenterSy));
    inner.set(EndTag(DivSy));
    ++m_nesting;
    NextSymbol();
    ParseBody(inner);
    --m_nesting;
    m_align = savedAlign;
    m_blockAlign = savedBlockAlign;
    OpenSection();
    if (m_sy == EndTag(CenterSy) || m_sy == EndTag(DivSy))
        NextSymbol();
}

void THtmlParser::ParseList(const TSymSet& terminators)
{
    if (m_nesting >= MaxNesting) {
        NextSymbol();
        return;
    }
    const TSymbol kind = m_sy;
    CloseBlock();
    m_pendingMarker.Active = false;
    ListContext list;
    list.Kind = kind;
    if (const TAttribute* a = Attr(StartSy))
        list.Number = a->Numeric;
    if (const TAttribute* a = Attr(TypeSy); a && !a->Value.empty())
        list.Style = a->Value[0];
    if (list.Style != 'a' && list.Style != 'A' && list.Style != 'i' && list.Style != 'I')
        list.Style = '1';
    list.Plain = kind == ULSy && Attr(PlainSy) != nullptr;
    ListContext* savedList = m_list;
    const int savedLevel = m_level;
    m_list = &list;
    ++m_level;
    ++m_nesting;
    TSymSet inner = terminators;
    inner.set(EndTag(kind));
    NextSymbol();
    ParseBody(inner);
    CloseBlock();
    m_pendingMarker.Active = false;
    --m_nesting;
    m_level = savedLevel;
    m_list = savedList;
    if (m_sy == EndTag(kind))
        NextSymbol();
}

void THtmlParser::DoListItem()
{
    CloseBlock();
    m_pendingMarker.Active = false;
    std::unique_ptr<TSection> item;
    if (!m_list) {
        item = std::make_unique<TUListItem>(m_doc, m_align, m_level, false);
        item->SmallIndent = m_level == 0;
    } else if (m_list->Kind == OLSy) {
        item = std::make_unique<TOListItem>(m_doc, m_align, m_level, m_list->Number++, m_list->Style);
    } else {
        item = std::make_unique<TUListItem>(m_doc, m_align, m_level, m_list->Plain);
    }
    TSection* raw = item.get();
    raw->StartPos = std::max(0, m_pos);
    m_cell->Blocks.push_back(std::move(item));
    m_section = raw;
    NextSymbol();
    if (m_sy == PSy)
        NextSymbol();
}

void THtmlParser::ParseTable(const TSymSet& terminators)
{
    if (m_nesting >= MaxNesting) {
        NextSymbol();
        return;
    }
    CloseBlock();
    auto tableBlock = std::make_unique<THtmlTable>(m_doc);
    THtmlTable* table = tableBlock.get();
    if (const TAttribute* a = Attr(BorderSy))
        table->Border = std::clamp(a->Numeric, 0, 20);
    if (const TAttribute* a = Attr(CellPaddingSy))
        table->CellPadding = std::clamp(a->Numeric, 0, 100);
    if (const TAttribute* a = Attr(CellSpacingSy))
        table->CellSpacing = std::clamp(a->Numeric, 0, 100);
    if (const TAttribute* a = Attr(WidthSy); a && a->Numeric > 0) {
        const std::string v = Trim(a->Value);
        table->Percent = !v.empty() && v.back() == '%';
        table->WidthValue = table->Percent ? std::min(a->Numeric, 100) : std::min(a->Numeric, 32000);
    }
    if (const TAttribute* a = Attr(AlignSy)) {
        const int align = AlignFromText(a->Value, 0);
        table->Align = align == 1 ? 0 : align;
    }
    if (const TAttribute* a = Attr(BGColorSy))
        table->Background = ParseColor(a->Value);
    AddBlock(std::move(tableBlock));

    // The cells are parsed as documents of their own.
    TCell* savedCell = m_cell;
    const int savedAlign = m_align, savedBlockAlign = m_blockAlign, savedLevel = m_level;
    ListContext* savedList = m_list;
    const bool savedBold = m_bold;
    ++m_inTable;
    ++m_nesting;

    TSymSet cellEnds = terminators;
    for (TSymbol s : {TDSy, THSy, TRSy, CaptionSy})
        cellEnds.set(s);
    for (TSymbol s : {TDSy, THSy, TRSy, CaptionSy, TableSy})
        cellEnds.set(EndTag(s));

    THtmlTable::Row* row = nullptr;
    int rowAlign = 0;
    NextSymbol();
    while (m_sy != EofSy) {
        if (m_sy == EndTag(TableSy)) {
            NextSymbol();
            break;
        }
        if (m_sy == TRSy) {
            table->Rows.emplace_back();
            row = &table->Rows.back();
            if (const TAttribute* a = Attr(VAlignSy)) {
                const std::string v = Lower(Trim(a->Value));
                row->VAlign = v == "top" ? 1 : v == "bottom" ? 3 : v == "middle" ? 2 : 0;
            }
            if (const TAttribute* a = Attr(BGColorSy))
                row->Background = ParseColor(a->Value);
            rowAlign = AlignFromAttr(0);
            NextSymbol();
            continue;
        }
        if (m_sy == EndTag(TRSy)) {
            row = nullptr;
            NextSymbol();
            continue;
        }
        if (m_sy == TDSy || m_sy == THSy || m_sy == CaptionSy) {
            const TSymbol kind = m_sy;
            std::unique_ptr<THtmlTable::CellObj> owned;
            THtmlTable::CellObj* cell;
            if (kind == CaptionSy) {
                if (!table->Caption)
                    table->Caption = std::make_unique<THtmlTable::CellObj>();
                cell = table->Caption.get();
            } else {
                if (!row) {
                    table->Rows.emplace_back();
                    row = &table->Rows.back();
                    rowAlign = 0;
                }
                row->Cells.push_back(std::make_unique<THtmlTable::CellObj>());
                cell = row->Cells.back().get();
                cell->Header = kind == THSy;
                if (const TAttribute* a = Attr(ColSpanSy))
                    cell->ColSpan = std::clamp(a->Numeric, 1, 100);
                if (const TAttribute* a = Attr(WidthSy); a && a->Numeric > 0) {
                    const std::string v = Trim(a->Value);
                    cell->Percent = !v.empty() && v.back() == '%';
                    cell->WidthValue = std::min(a->Numeric, 32000);
                }
                if (const TAttribute* a = Attr(VAlignSy)) {
                    const std::string v = Lower(Trim(a->Value));
                    cell->VAlign = v == "top" ? 1 : v == "bottom" ? 3 : 2;
                } else {
                    cell->VAlign = 0;
                }
                if (const TAttribute* a = Attr(BGColorSy))
                    cell->Background = ParseColor(a->Value);
            }
            const int defaultAlign = kind == TDSy ? (rowAlign ? rowAlign : 1) : 2;
            m_cell = &cell->Content;
            m_section = nullptr;
            m_align = m_blockAlign = AlignFromAttr(defaultAlign);
            m_level = 0;
            m_list = nullptr;
            m_bold = kind == THSy ? true : savedBold;
            const std::size_t fontDepth = m_fontStack.size();
            const int linkId = m_linkId;
            OpenSection();
            NextSymbol();
            ParseBody(cellEnds);
            CloseBlock();
            if (m_linkId != linkId)
                CloseLink();
            PopFontsTo(fontDepth);
            m_bold = savedBold;
            m_cell = savedCell;
            if (m_sy == EndTag(TDSy) || m_sy == EndTag(THSy) || m_sy == EndTag(CaptionSy))
                NextSymbol();
            continue;
        }
        if (terminators.test(m_sy))
            break;
        // Anything else between cells is not shown.
        NextSymbol();
    }

    m_cell = savedCell;
    m_section = nullptr;
    m_align = savedAlign;
    m_blockAlign = savedBlockAlign;
    m_level = savedLevel;
    m_list = savedList;
    m_bold = savedBold;
    --m_inTable;
    --m_nesting;
}

// ---------------------------------------------------------------------------
// Inline symbols

bool THtmlParser::ParseInline()
{
    switch (static_cast<int>(m_sy)) {
    case TextSy:
        if (m_pre && m_skipPreBreak && !m_token.empty() && m_token.front() == CR) {
            m_token.erase(0, 1);
            m_tokenPos.erase(m_tokenPos.begin());
        }
        m_skipPreBreak = false;
        if (!m_token.empty())
            CurrentOrNewSection().AddText(m_token, m_tokenPos.data(), CurrentFontObj());
        break;
    case PSy:
    case EndTag(PSy):
        DoParagraph();
        return true;
    case BRSy: {
        // A BR on a line of its own keeps that line.
        if (m_section && m_section->IsEmpty() && m_sectionFromBR) {
            m_section->BlankLine = true;
            if (m_section->Fonts.empty())
                m_section->Fonts.push_back(CurrentFontObj());
        }
        CloseBlock();
        OpenSection();
        m_sectionFromBR = true;
        break;
    }
    case HeadingSy:
        DoHeading();
        return true;
    case EndTag(HeadingSy):
        EndHeading();
        return true;
    case BSy:
    case StrongSy:
        m_bold = true;
        break;
    case EndTag(BSy):
    case EndTag(StrongSy):
        m_bold = false;
        break;
    case ISy:
    case EmSy:
    case CiteSy:
    case VarSy:
        m_italic = true;
        break;
    case EndTag(ISy):
    case EndTag(EmSy):
    case EndTag(CiteSy):
    case EndTag(VarSy):
        m_italic = false;
        break;
    case USy:
        m_underline = true;
        break;
    case EndTag(USy):
        m_underline = false;
        break;
    case SSy:
    case StrikeSy:
        m_strike = true;
        break;
    case EndTag(SSy):
    case EndTag(StrikeSy):
        m_strike = false;
        break;
    case TTSy:
    case CodeSy:
    case KbdSy:
    case SampSy: {
        TMyFont font = TopFont();
        font.Name = m_doc->PreFontName;
        font.Fixed = true;
        font.SetNominalSize(10, m_doc->DefFontSize);
        PushFont(font, FontKind::Plain);
        break;
    }
    case EndTag(TTSy):
    case EndTag(CodeSy):
    case EndTag(KbdSy):
    case EndTag(SampSy):
    case EndTag(FontSy):
    case EndTag(BigSy):
    case EndTag(SmallSy):
        PopFont();
        break;
    case AddressSy: {
        CloseBlock();
        TMyFont font = TopFont();
        font.Italic = true;
        PushFont(font, FontKind::Plain);
        OpenSection();
        break;
    }
    case EndTag(AddressSy):
        CloseBlock();
        PopFont();
        break;
    case FontSy:
        DoFont();
        break;
    case BaseFontSy:
        if (const TAttribute* a = Attr(SizeSy)) {
            m_baseSize = SizeFromText(a->Value);
            if (!DocumentStarted() && m_inTable == 0) {
                TMyFont font = TopFont();
                font.SetNominalSize(kFontScale[m_baseSize - 1], m_doc->DefFontSize);
                PushFont(font, FontKind::Base);
            }
        }
        break;
    case BigSy:
    case SmallSy: {
        TMyFont font = TopFont();
        int step = 0;
        while (step < 6 && kFontScale[step + 1] <= font.NominalSize)
            ++step;
        step = m_sy == BigSy ? std::min(6, step + 1) : std::max(0, step - 1);
        font.SetNominalSize(kFontScale[step], m_doc->DefFontSize);
        PushFont(font, FontKind::Plain);
        break;
    }
    case SubSy:
        m_sscript = 2;
        break;
    case SupSy:
        m_sscript = 1;
        break;
    case EndTag(SubSy):
    case EndTag(SupSy):
        m_sscript = 0;
        break;
    case NoBrSy:
        m_noBreak = true;
        break;
    case EndTag(NoBrSy):
        m_noBreak = false;
        break;
    case WbrSy:
        if (m_noBreak) {
            const char hint = htmlchar::BreakHint;
            CurrentOrNewSection().AddText(std::string_view(&hint, 1), &m_pos, CurrentFontObj());
        }
        break;
    case ASy:
        DoAnchor();
        break;
    case EndTag(ASy):
        CloseLink();
        break;
    case ImageSy:
        DoImage();
        break;
    case InputSy:
        DoInput();
        break;
    case SelectSy:
        ParseSelect();
        return true;
    case TextAreaSy:
        ParseTextArea();
        return true;
    case FormSy:
        m_formOpen = true;
        break;
    case EndTag(FormSy):
        m_formOpen = false;
        break;
    case ButtonSy:
    case EndTag(ButtonSy):
    case MapSy:
    case EndTag(MapSy):
    case AreaSy:
        break;
    case PreSy:
        DoPre();
        return true;
    case EndTag(PreSy):
        CloseBlock();
        if (m_fontStack.size() > 1 && m_fontStack.back().Kind == FontKind::Pre)
            m_fontStack.pop_back();
        m_pre = false;
        m_skipPreBreak = false;
        break;
    case ScriptSy:
        ParseScript();
        return true;
    default:
        return false;
    }
    NextSymbol();
    return true;
}

void THtmlParser::DoParagraph()
{
    const bool isEnd = m_sy != PSy;
    CloseBlock();
    if (m_cell->Blocks.empty() || !dynamic_cast<TParagraphSpace*>(m_cell->Blocks.back().get()))
        AddBlock(std::make_unique<TParagraphSpace>(m_doc));
    // A paragraph's ALIGN lasts to its end; then the enclosing alignment
    // (CENTER, DIV, a table cell) holds again.
    m_align = isEnd ? m_blockAlign : AlignFromAttr(m_blockAlign);
    OpenSection();
    NextSymbol();
}

void THtmlParser::DoHeading()
{
    if (static_cast<int>(m_fontStack.size()) < MaxFonts) {
        static const int sizes[7] = {12, 24, 18, 14, 12, 10, 8};
        const int level = m_headingLevel;
        CloseBlock();
        AddBlock(std::make_unique<THeadingSpace>(m_doc, level));
        TMyFont font = TopFont();
        font.Bold = level >= 1;
        font.SetNominalSize(sizes[level], m_doc->DefFontSize);
        PushFont(font, FontKind::Heading, level);
        const int savedAlign = m_align;
        m_align = AlignFromAttr(m_align);
        OpenSection();
        m_align = savedAlign;
    }
    NextSymbol();
}

void THtmlParser::EndHeading()
{
    std::size_t index = m_fontStack.size();
    while (index > 1 && m_fontStack[index - 1].Kind != FontKind::Heading)
        --index;
    if (index > 1) {
        const int level = m_fontStack[index - 1].HeadingLevel;
        CloseBlock();
        AddBlock(std::make_unique<THeadingSpace>(m_doc, level));
        // A link opened inside the heading ends with it.
        for (std::size_t i = index; i < m_fontStack.size(); ++i)
            if (m_fontStack[i].Kind == FontKind::Link) {
                m_linkId = 0;
                m_linkUrl.clear();
                m_linkTarget.clear();
            }
        PopFontsTo(index - 1);
    }
    NextSymbol();
}

void THtmlParser::DoPre()
{
    CloseBlock();
    TMyFont font = TopFont();
    font.Name = m_doc->PreFontName;
    font.Fixed = true;
    font.SetNominalSize(10, m_doc->DefFontSize);
    PushFont(font, FontKind::Pre);
    m_pre = true;
    OpenSection();
    // Like browsers, a line break right after <PRE> is not part of the text.
    m_skipPreBreak = true;
    NextSymbol();
}

void THtmlParser::DoFont()
{
    TMyFont font = TopFont();
    if (const TAttribute* a = Attr(SizeSy))
        font.SetNominalSize(kFontScale[SizeFromText(a->Value) - 1], m_doc->DefFontSize);
    if (const TAttribute* a = Attr(ColorSy)) {
        const TColor c = ParseColor(a->Value);
        if (c != clNone)
            font.Color = c;
    }
    if (const TAttribute* a = Attr(FaceSy)) {
        std::string face = Trim(a->Value.substr(0, a->Value.find(',')));
        if (face.size() > 50)
            face.resize(50);
        if (!face.empty())
            font.Name = face;
    }
    PushFont(font, FontKind::Plain);
}

void THtmlParser::DoAnchor()
{
    if (m_linkId)
        CloseLink();
    if (const TAttribute* href = Attr(HrefSy)) {
        m_linkId = ++m_nextLinkId;
        m_linkUrl = href->Value;
        const TAttribute* target = Attr(TargetSy);
        m_linkTarget = target ? target->Value : m_result->BaseTarget;
        TMyFont font = TopFont();
        font.Color = m_doc->LinkColor != clNone ? m_doc->LinkColor : m_doc->HotSpotColor;
        PushFont(font, FontKind::Link, -1, m_linkId);
    }
    if (const TAttribute* name = Attr(NameSy)) {
        std::string anchor = Upper(name->Value);
        if (!anchor.empty() && anchor.front() == '#')
            anchor.erase(0, 1);
        if (!anchor.empty()) {
            TSection& section = CurrentOrNewSection();
            section.Anchored = true;
            m_doc->AnchorNames.emplace(anchor, &section);
        }
    }
}

void THtmlParser::CloseLink()
{
    if (!m_linkId)
        return;
    for (std::size_t i = m_fontStack.size(); i > 1; --i)
        if (m_fontStack[i - 1].Kind == FontKind::Link && m_fontStack[i - 1].LinkId == m_linkId) {
            // Only the link's own font goes: a heading opened inside the
            // link keeps its font.
            m_fontStack.erase(m_fontStack.begin() + static_cast<std::ptrdiff_t>(i - 1));
            break;
        }
    m_linkId = 0;
    m_linkUrl.clear();
    m_linkTarget.clear();
}

void THtmlParser::DoImage()
{
    auto obj = std::make_unique<TInlineObj>();
    obj->Kind = TInlineKind::Image;
    obj->Attributes = m_attributes;
    if (const TAttribute* a = Attr(SrcSy))
        obj->Source = Trim(a->Value);
    if (const TAttribute* a = Attr(AlignSy)) {
        const std::string v = Lower(Trim(a->Value));
        obj->Align = (v == "middle" || v == "absmiddle" || v == "center") ? 1 : v == "top" ? 2 : 0;
    }
    if (const TAttribute* a = Attr(HSpaceSy))
        obj->HSpace = std::clamp(a->Numeric, 0, 1000);
    if (const TAttribute* a = Attr(VSpaceSy))
        obj->VSpace = std::clamp(a->Numeric, 0, 1000);
    if (const TAttribute* a = Attr(BorderSy))
        obj->Border = std::clamp(a->Numeric, 0, 100);
    if (const TAttribute* a = Attr(WidthSy))
        obj->Width = std::clamp(a->Numeric, 0, 32000);
    if (const TAttribute* a = Attr(HeightSy))
        obj->Height = std::clamp(a->Numeric, 0, 32000);
    CurrentOrNewSection().AddObject(m_noBreak ? htmlchar::NbImage : htmlchar::Image, std::max(0, m_pos),
                                    std::move(obj), CurrentFontObj());
}

namespace {

std::unique_ptr<TInlineObj> NewControl(const std::string& type, const TAttributeList& attributes)
{
    auto obj = std::make_unique<TInlineObj>();
    obj->Kind = TInlineKind::FormControl;
    obj->ControlType = type;
    obj->Attributes = attributes;
    return obj;
}

} // namespace

void THtmlParser::DoInput()
{
    const TAttribute* typeAttr = Attr(TypeSy);
    const std::string type = typeAttr ? Upper(Trim(typeAttr->Value)) : std::string("TEXT");
    if (type == "HIDDEN")
        return;
    auto obj = NewControl(type, m_attributes);
    const TAttribute* value = Attr(ValueSy);
    if (type == "CHECKBOX" || type == "RADIO") {
        obj->Width = obj->Height = 13;
    } else if (type == "SUBMIT" || type == "RESET" || type == "BUTTON") {
        obj->Text = value ? value->Value : (type == "RESET" ? "Reset" : type == "SUBMIT" ? "Submit" : "");
        obj->Width = std::min(2000, static_cast<int>(obj->Text.size()) * 7 + 16);
        obj->Height = 22;
    } else {
        const TAttribute* size = Attr(SizeSy);
        const int chars = size && size->Numeric > 0 ? std::min(size->Numeric, 250) : 20;
        obj->Text = value ? value->Value : std::string();
        if (type == "PASSWORD")
            obj->Text.assign(obj->Text.size(), '*');
        obj->Width = chars * 7 + 8;
        obj->Height = 20;
    }
    CurrentOrNewSection().AddObject(m_noBreak ? htmlchar::NbFormControl : htmlchar::FormControl,
                                    std::max(0, m_pos), std::move(obj), CurrentFontObj());
}

void THtmlParser::ParseSelect()
{
    auto obj = NewControl("SELECT", m_attributes);
    const TAttribute* size = Attr(SizeSy);
    const bool listBox = Attr(MultipleSy) != nullptr || (size && size->Numeric > 1);
    const int rows = listBox ? std::clamp(size && size->Numeric > 1 ? size->Numeric : 4, 1, 50) : 1;
    const int position = std::max(0, m_pos);
    std::vector<std::string> options;
    int selected = -1;
    NextSymbol();
    while (m_sy == OptionSy || m_sy == TextSy || m_sy == EndTag(OptionSy)) {
        if (m_sy == OptionSy) {
            options.emplace_back();
            if (selected < 0 && Attr(SelectedAttrSy))
                selected = static_cast<int>(options.size()) - 1;
        } else if (m_sy == TextSy && !options.empty() && options.back().size() < 1000) {
            options.back() += m_token;
        }
        NextSymbol();
    }
    std::size_t longest = 0;
    for (std::string& o : options) {
        o = Trim(o);
        longest = std::max(longest, o.size());
    }
    if (!options.empty())
        obj->Text = options[std::size_t(selected < 0 ? 0 : selected)];
    obj->Width = static_cast<int>(std::min<std::size_t>(longest, 200)) * 7 + 24;
    obj->Height = rows * 16 + 4;
    CurrentOrNewSection().AddObject(m_noBreak ? htmlchar::NbFormControl : htmlchar::FormControl, position,
                                    std::move(obj), CurrentFontObj());
    if (m_sy == EndTag(SelectSy))
        NextSymbol();
}

void THtmlParser::ParseTextArea()
{
    auto obj = NewControl("TEXTAREA", m_attributes);
    const TAttribute* cols = Attr(ColsSy);
    const TAttribute* rows = Attr(RowsSy);
    obj->Width = std::clamp(cols && cols->Numeric > 0 ? cols->Numeric : 20, 1, 250) * 7 + 8;
    obj->Height = std::clamp(rows && rows->Numeric > 0 ? rows->Numeric : 2, 1, 100) * 16 + 6;
    const int position = std::max(0, m_pos);
    NextSymbol();
    while (m_sy == TextSy) {
        if (obj->Text.size() < 10000)
            obj->Text += m_token;
        NextSymbol();
    }
    obj->Text = Trim(obj->Text);
    CurrentOrNewSection().AddObject(m_noBreak ? htmlchar::NbFormControl : htmlchar::FormControl, position,
                                    std::move(obj), CurrentFontObj());
    if (m_sy == EndTag(TextAreaSy))
        NextSymbol();
}

// Script text runs up to "</SCRIPT" (or the end of the input) and is never
// shown; with a script callback it is handed over, each line break as CR LF.
void THtmlParser::ParseScript()
{
    const TAttribute* name = Attr(NameSy);
    const TAttribute* language = Attr(LanguageSy);
    const std::string scriptName = name ? name->Value : std::string();
    const std::string scriptLanguage = language ? language->Value : std::string();
    static const char endTag[] = "/SCRIPT";
    std::string script;
    while (m_ch != EofChar) {
        if (m_ch == '<') {
            bool atEnd = true;
            for (std::size_t i = 0; i < 7 && atEnd; ++i)
                atEnd = UpperChar(RawPeekAt(i)) == endTag[i];
            if (atEnd)
                break;
        }
        if (m_onScript) {
            if (m_ch == CR)
                script += "\r\n";
            else
                script += static_cast<char>(m_lch);
        }
        ReadChar();
    }
    m_inScript = false;
    if (m_onScript)
        m_onScript(scriptName, scriptLanguage, script);
    NextSymbol();
    if (m_sy == EndTag(ScriptSy))
        NextSymbol();
}
