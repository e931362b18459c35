#pragma once
// THtmlParser: reads HTML text held in memory, in one pass, into the
// document model (TSectionList with its anchor names) of the viewer.
//
// The reader has three layers: ReadChar folds line breaks and skips comments
// (and runs include directives), NextSymbol yields tags, entities, text runs
// and stray characters (both in THtmlScanner, HtmlScan.h), and ParseBody /
// ParseInline build the blocks while keeping a stack of fonts. Broken input
// never raises out of a parse: the parse ends and what was built so far
// stays.

#include "htmlview/HtmlDocument.h"
#include "htmlview/HtmlScan.h"
#include "htmlview/HtmlSymbols.h"
#include "platform/core/Exception.h"

#include <bitset>
#include <functional>
#include <string>
#include <vector>

// Raised inside the parser; it ends the parse.
class EParseError : public Exception {
public:
    using Exception::Exception;
};

// Parses a colour: one of the 16 HTML colour names or a hex RRGGBB value
// ("#" optional, padded on the right with "0"). clNone when it is neither.
TColor ParseColor(const std::string& text);

// What a parse learns besides the blocks.
struct TParseResult {
    std::string DocumentTitle;
    std::string BaseUrl;
    std::string BaseTarget;
    bool HasRefresh = false; // META http-equiv="refresh"
    int RefreshDelay = 0;
    std::string RefreshUrl;
};

class THtmlParser : private THtmlScanner {
public:
    using TIncludeCallback = THtmlScanner::TIncludeCallback;
    using TSoundCallback = std::function<void(const std::string& source, int loop)>;
    using TMetaCallback =
        std::function<void(const std::string& httpEquiv, const std::string& content, const std::string& name)>;
    using TScriptCallback =
        std::function<void(const std::string& name, const std::string& language, const std::string& script)>;

    // Structures deeper than this (nested lists, tables, CENTER, DIV) are
    // read as if their tags were not there, so broken input cannot exhaust
    // the stack.
    static constexpr int MaxNesting = 60;
    static constexpr int MaxFonts = 25;

    THtmlParser();
    ~THtmlParser();

    // Parses HTML into document (which must be cleared and carry the
    // settings to parse with). Never raises.
    TParseResult ParseDocument(const std::string& text, TSectionList& document, TIncludeCallback include = {},
                               TSoundCallback sound = {}, TMetaCallback meta = {}, TScriptCallback script = {});
    // The whole text becomes one preformatted block. Never raises.
    void ParsePlainText(const std::string& text, TSectionList& document);

private:
    enum class FontKind { Base, Plain, Heading, Link, Pre };
    struct FontEntry {
        TMyFont Font;
        FontKind Kind = FontKind::Plain;
        int HeadingLevel = -1; // a heading font: its level
        int LinkId = 0;        // a link font: its link
    };
    struct ListContext {
        TSymbol Kind = ULSy;
        int Number = 1;
        char Style = '1';
        bool Plain = false;
    };
    // The marker of a list item that was closed before it held anything (an
    // item that starts with a heading, say): it goes to the item's first line
    // box, the next section opened in the same cell and at the same level.
    struct PendingMarker {
        bool Active = false;
        bool Ordered = false;
        bool Plain = false;
        bool SmallIndent = false;
        int Number = 0;
        char Style = '1';
        int Level = 0;
        const TCell* Cell = nullptr;
    };
    using TSymSet = std::bitset<SymbolCount>;

    // Blocks.
    void ParseBody(const TSymSet& terminators);
    bool ParseInline();
    void ParseList(const TSymSet& terminators);
    void ParseTable(const TSymSet& terminators);
    void ParseCenterOrDiv(const TSymSet& terminators);
    void ParseSelect();
    void ParseTextArea();
    void ParseScript();
    void DoTitle();
    void DoBody();
    void DoMeta();
    void DoImage();
    void DoInput();
    void DoFont();
    void DoBaseFont();
    void DoAnchor();
    void DoHeading();
    void EndHeading();
    void DoPre();
    void DoListItem();
    void DoParagraph();
    void CloseLink();

    void CloseBlock();
    TSection& OpenSection();
    TSection& CurrentOrNewSection();
    void AddBlock(std::unique_ptr<TSectionBase> block);
    bool DocumentStarted() const;
    bool PushFont(const TMyFont& font, FontKind kind, int headingLevel = -1, int linkId = 0);
    void PopFont();
    void PopFontsTo(std::size_t size);
    void Reset(TSectionList& document, TParseResult& result);
    void Finish();
    TFontObj CurrentFontObj() const;
    const TMyFont& TopFont() const { return m_fontStack.back().Font; }
    int SizeFromText(const std::string& text) const;
    const TAttribute* Attr(TAttrSymbol which) const { return FindAttribute(m_attributes, which); }
    int AlignFromAttr(int fallback) const;

    // Building.
    TSectionList* m_doc = nullptr;
    TParseResult* m_result = nullptr;
    TCell* m_cell = nullptr;
    TSection* m_section = nullptr;
    std::vector<FontEntry> m_fontStack;
    int m_align = 1;
    bool m_bold = false, m_italic = false, m_underline = false, m_strike = false;
    int m_sscript = 0;
    int m_linkId = 0;
    int m_nextLinkId = 0;
    std::string m_linkUrl, m_linkTarget;
    int m_level = 0;
    int m_blockAlign = 1; // alignment of the enclosing CENTER / DIV / cell
    ListContext* m_list = nullptr;
    PendingMarker m_pendingMarker;
    bool m_sectionFromBR = false;
    bool m_skipPreBreak = false;
    int m_nesting = 0;
    int m_inTable = 0;
    int m_baseSize = 3;
    bool m_formOpen = false;
    TSoundCallback m_onSound;
    TMetaCallback m_onMeta;
    TScriptCallback m_onScript;
};
