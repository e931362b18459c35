#pragma once
// The document model of the viewer: an ordered list of blocks (text sections,
// fixed spaces, rules, list items, tables), laid out top to bottom into a
// width and drawn from that layout.
//
// Coordinates are document pixels: a block's Y is its top from the top of the
// document, x is from the document's left edge.

#include "htmlview/HtmlFonts.h"
#include "htmlview/HtmlImage.h"
#include "htmlview/HtmlSymbols.h"
#include "htmlview/HtmlTypes.h"

#include <QRect>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QPainter;
class TSectionList;
class TSection;

// One attribute of a tag as the parser read it.
struct TAttribute {
    TAttrSymbol Which;
    std::string Name;  // upper case
    std::string Value; // entities decoded
    int Numeric = 0;
};
using TAttributeList = std::vector<TAttribute>;
const TAttribute* FindAttribute(const TAttributeList& list, TAttrSymbol which);

// What layout needs besides the width: the fonts and the document settings.
struct TLayoutContext {
    THtmlFontEngine& Fonts;
    const TSectionList& Document;
    int MinMaxGeneration = 0;
};

// What drawing needs: the painter (in document coordinates), the part of the
// document to draw, and the link under the mouse.
struct TDrawContext {
    QPainter& Painter;
    THtmlFontEngine& Fonts;
    const TSectionList& Document;
    QRect Clip;
    int HoverLinkId = 0;
};

// A link found under a point.
struct TLinkHit {
    int LinkId = 0;
    std::string Url;
    std::string Target;
};

class TSectionBase {
public:
    explicit TSectionBase(TSectionList* document) : Document(document) {}
    virtual ~TSectionBase() = default;
    TSectionBase(const TSectionBase&) = delete;
    TSectionBase& operator=(const TSectionBase&) = delete;

    TSectionList* Document;
    int Y = 0;
    int Height = 0;
    int StartPos = 0;
    int EndPos = 0;
    int Level = 0;           // list nesting depth (indent level)
    bool SmallIndent = false; // an LI outside any list: a small indent
    int Right = 0;           // right-most pixel used after layout

    // Lays the block out from y between the left and right edges (the list
    // indent is applied here); sets Y, Height and Right and answers Height.
    virtual int DoLayout(TLayoutContext& ctx, int y, int left, int right);
    virtual void Draw(TDrawContext& dc) const;
    // The narrowest width the block can take and the width it needs unwrapped.
    virtual void MinMaxWidth(TLayoutContext& ctx, int& minWidth, int& maxWidth);
    virtual bool FindLink(int x, int y, TLinkHit& hit) const;
    // Moves the laid-out block down by dy pixels.
    virtual void ShiftY(int dy) { Y += dy; }
    // Calls f for every text section in this block (tables: in their cells).
    virtual void ForEachSection(const std::function<void(TSection&)>& f);

    int IndentPixels() const;

protected:
    // Height of blocks whose height does not depend on the width.
    virtual int FixedHeight() const { return 0; }
};

// An ordered list of blocks; the document itself and every table cell.
class TCell {
public:
    std::vector<std::unique_ptr<TSectionBase>> Blocks;

    // Lays out the blocks one below the other from y; answers the y reached.
    int LayoutBlocks(TLayoutContext& ctx, int y, int left, int right, int& maxRight);
    void DrawBlocks(TDrawContext& dc) const;
    void MinMaxBlocks(TLayoutContext& ctx, int& minWidth, int& maxWidth);
    bool FindLinkIn(int x, int y, TLinkHit& hit) const;
    void ShiftBlocks(int dy);
    void ForEachSectionIn(const std::function<void(TSection&)>& f);
};

// Fixed vertical spaces.
class TParagraphSpace : public TSectionBase {
public:
    using TSectionBase::TSectionBase;

protected:
    int FixedHeight() const override;
};

class THeadingSpace : public TSectionBase {
public:
    THeadingSpace(TSectionList* document, int level) : TSectionBase(document), HeadingLevel(level) {}
    int HeadingLevel; // 0..6

protected:
    int FixedHeight() const override;
};

class THorzLine : public TSectionBase {
public:
    using TSectionBase::TSectionBase;
    void Draw(TDrawContext& dc) const override;
    int DoLayout(TLayoutContext& ctx, int y, int left, int right) override;

    int Thickness = 2;
    int WidthValue = 0; // 0: full width
    bool Percent = false;
    int Align = 2;      // 1 left, 2 center, 3 right
    TColor Color = clNone;
    bool NoShade = false;

protected:
    int FixedHeight() const override;

private:
    int m_left = 0, m_right = 0;
};

// A font run inside a section: the font in effect from character Pos on.
struct TFontObj {
    int Pos = 0;
    TMyFont Font;
    int LinkId = 0; // 0: not a link
    std::string Url;
    std::string Target;
    bool Visited = false;
    int SScript = 0; // 0 normal, 1 superscript, 2 subscript
};

enum class TInlineKind { Image, FormControl };

// An image or form control standing at a placeholder character of a section.
struct TInlineObj {
    TInlineKind Kind = TInlineKind::Image;
    int Pos = 0;
    TAttributeList Attributes;
    // Images.
    std::string Source;
    int Align = 0; // 0 bottom, 1 middle, 2 top
    int HSpace = 0, VSpace = 0, Border = 0;
    std::shared_ptr<THtmlImage> Image;
    // Form controls.
    std::string ControlType; // "TEXT", "CHECKBOX", "SELECT", "TEXTAREA" ...
    std::string Text;        // value, first option or area text
    // Size in pixels, set by the viewer (images) or the parser (controls).
    int Width = 0;
    int Height = 0;
};

struct TLineRec {
    int Start = 0;
    int Count = 0;
    int X = 0;       // x of the first character
    int Top = 0;     // from the section's Y
    int Height = 0;
    int Ascent = 0;  // baseline from the line's top
    int TextWidth = 0;
};

class TSection : public TSectionBase {
public:
    TSection(TSectionList* document, int align, int level);

    std::string Text;            // Windows-1252 with the markers of htmlchar
    std::vector<int> SourcePos;  // source position of each character
    std::vector<TFontObj> Fonts; // ascending Pos, the first at 0
    std::vector<std::unique_ptr<TInlineObj>> Objects;
    int Align = 1;               // 1 left, 2 center, 3 right
    bool Preformatted = false;
    bool Anchored = false;       // an anchor refers to this block
    bool BlankLine = false;      // an empty line made by two BRs
    int MinWidth = 0;            // widest line that could not be broken
    std::vector<TLineRec> Lines;

    // Appends text in the given font; a placeholder character must come
    // with its object through AddObject instead.
    void AddText(std::string_view text, const int* positions, const TFontObj& font);
    void AddObject(char placeholder, int position, std::unique_ptr<TInlineObj> obj, const TFontObj& font);
    bool IsEmpty() const { return Text.empty(); }

    int DoLayout(TLayoutContext& ctx, int y, int left, int right) override;
    void Draw(TDrawContext& dc) const override;
    void MinMaxWidth(TLayoutContext& ctx, int& minWidth, int& maxWidth) override;
    bool FindLink(int x, int y, TLinkHit& hit) const override;
    void ForEachSection(const std::function<void(TSection&)>& f) override { f(*this); }

    // The font run in effect at character index.
    const TFontObj& FontAt(int index) const;
    const TInlineObj* ObjectAt(int index) const;

protected:
    void ComputeWidths(TLayoutContext& ctx);
    void SetFont(const TFontObj& font);
    virtual void DrawMarker(TDrawContext&, const TLineRec&) const {}

    std::vector<int> m_widths;
    THtmlFontEngine* m_widthsEngine = nullptr;
    int m_widthsFontSize = 0;
};

class TPreFormated : public TSection {
public:
    TPreFormated(TSectionList* document, int level) : TSection(document, 1, level) { Preformatted = true; }
};

class TUListItem : public TSection {
public:
    TUListItem(TSectionList* document, int align, int level, bool plain)
        : TSection(document, align, level), Plain(plain) {}
    bool Plain;

protected:
    void DrawMarker(TDrawContext& dc, const TLineRec& line) const override;
};

class TOListItem : public TSection {
public:
    TOListItem(TSectionList* document, int align, int level, int number, char style)
        : TSection(document, align, level), Number(number), Style(style) {}
    int Number;
    char Style; // '1', 'a', 'A', 'i', 'I'

    static std::string NumberText(int number, char style);

protected:
    void DrawMarker(TDrawContext& dc, const TLineRec& line) const override;
};

class TDListItem : public TSection {
public:
    using TSection::TSection;
};

// A table: rows of cells whose contents are blocks. The inner layout is our
// own: automatic column widths between each column's narrowest and widest
// content, cell padding and spacing, a frame when BORDER is given.
class THtmlTable : public TSectionBase {
public:
    struct CellObj {
        TCell Content;
        int ColSpan = 1;
        int WidthValue = 0;
        bool Percent = false;
        int Align = 0;  // 0 inherit
        int VAlign = 2; // 1 top, 2 middle, 3 bottom
        TColor Background = clNone;
        bool Header = false;
        // Layout.
        int X = 0, CellY = 0, W = 0, H = 0, ContentHeight = 0;
    };
    struct Row {
        std::vector<std::unique_ptr<CellObj>> Cells;
        int VAlign = 0;
        TColor Background = clNone;
    };

    using TSectionBase::TSectionBase;

    std::vector<Row> Rows;
    std::unique_ptr<CellObj> Caption;
    int Border = 0;
    int CellPadding = 1;
    int CellSpacing = 2;
    int WidthValue = 0;
    bool Percent = false;
    int Align = 0; // 0 left/none, 2 center, 3 right
    TColor Background = clNone;

    int DoLayout(TLayoutContext& ctx, int y, int left, int right) override;
    void Draw(TDrawContext& dc) const override;
    void MinMaxWidth(TLayoutContext& ctx, int& minWidth, int& maxWidth) override;
    bool FindLink(int x, int y, TLinkHit& hit) const override;
    void ShiftY(int dy) override;
    void ForEachSection(const std::function<void(TSection&)>& f) override;

private:
    int ColumnCount() const;
    void ColumnWidths(TLayoutContext& ctx, std::vector<int>& minW, std::vector<int>& maxW);
    int m_x = 0, m_width = 0;
    int m_minMaxGen = -1, m_min = 0, m_max = 0;
};

// The document: its blocks, the settings it is drawn with, its anchors.
class TSectionList : public TCell {
public:
    // Settings copied from the viewer before a parse.
    std::string DefFontName = "Times New Roman";
    std::string PreFontName = "Courier New";
    int DefFontSize = 12;
    TColor FontColor = clWindowText;
    TColor HotSpotColor = clBlue;
    TColor VisitedColor = clPurple;
    TColor OverColor = clBlue;
    bool OverLinksActive = false;
    bool NoLinkUnderline = false;
    TColor Background = clBtnFace;
    int CharSet = 1;

    // Set by the document's BODY (clNone / -1 when not given).
    TColor LinkColor = clNone;
    TColor BodyVisitedColor = clNone;
    TColor BodyOverColor = clNone;
    TColor BodyBackground = clNone;
    std::string BackgroundImageName;
    std::shared_ptr<THtmlImage> BackgroundImage;
    int BodyMarginWidth = -1;
    int BodyMarginHeight = -1;

    // Anchor names (upper case) and the block each refers to.
    std::map<std::string, TSectionBase*> AnchorNames;

    // Layout results.
    int DocumentHeight = 0;
    int DocumentWidth = 0;

    void Clear();
    // Lays the document out into width (the text width) with the given
    // margins; extraBottom is added below the last block. Answers the
    // document height.
    int DoLayout(THtmlFontEngine& fonts, int width, int marginWidth, int marginHeight, int extraBottom);
    void Draw(QPainter& painter, THtmlFontEngine& fonts, const QRect& clip, int hoverLinkId) const;
    bool FindLink(int x, int y, TLinkHit& hit) const;

    TColor EffectiveBackground() const { return BodyBackground != clNone ? BodyBackground : Background; }
    TColor EffectiveVisitedColor() const { return BodyVisitedColor != clNone ? BodyVisitedColor : VisitedColor; }
    TColor EffectiveOverColor() const { return BodyOverColor != clNone ? BodyOverColor : OverColor; }

private:
    int m_generation = 0;
};
