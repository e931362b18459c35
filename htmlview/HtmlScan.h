#pragma once
// The scanner under THtmlParser (internal to the help viewer): the character
// layer and the symbol layer of the HTML reader.
//
// ReadChar takes the next character into m_ch (upper-cased) and m_lch (as
// written), folding CR, LF and CR LF into one CR and tabs into spaces, and
// skips comments and "<!...>" declarations on the way, running include
// directives ("<!--#name ...-->") through the include callback. NextSymbol
// reads one tag (into m_sy and m_attributes), one entity or one run of text
// (into m_token, with each character's source position in m_tokenPos).
//
// The tree builder derives from this class and reads the fields below
// directly. An open comment at the end of the input
// makes the next NextSymbol raise EParseError once the text before the
// comment has been taken.

#include "htmlview/HtmlDocument.h"
#include "htmlview/HtmlSymbols.h"
#include "htmlview/HtmlTypes.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace htmlscan {

constexpr int CR = 13;
constexpr int LF = 10;
// What the character layer yields at the end of the input.
constexpr int EofChar = htmlchar::EndOfText;

inline bool IsLetter(int c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

inline bool IsDigit(int c)
{
    return c >= '0' && c <= '9';
}

// A whole text as a decimal integer ("+"/"-" allowed); fallback when it is
// not one or does not fit.
int StrToIntDef(const std::string& s, int fallback);

} // namespace htmlscan

class THtmlScanner {
public:
    using TIncludeCallback =
        std::function<void(const std::string& command, const std::vector<std::string>& params, std::string& text)>;

protected:
    // Clears every field below, ready for a new input.
    void ResetScan();

    // Character layer.
    int RawNext();
    int RawPeekAt(std::size_t offset) const;
    void ReadChar();
    void SkipComment();
    void RunIncludeDirective();
    int CommentNext();
    void ReadToCommentEnd(int dashes);
    // Symbol layer.
    void NextSymbol();
    bool ReadTag();
    bool ReadAttribute();
    void ReadEntity();
    bool ReadTextRun();
    void SkipWhiteSpace();
    void SkipRawTextElement(const char* upperName);
    void AddTokenChar(char c, int pos);

    // Input: the text (not owned; it outlives the parse) and the text an
    // include directive inserted, which is read first.
    const std::string* m_input = nullptr;
    std::size_t m_inPos = 0;
    std::string m_include;
    std::size_t m_incPos = 0;
    bool m_includeActive = false;
    int m_pos = -1;
    unsigned char m_lch = 0, m_ch = 0;
    int m_lastBreak = 0;
    bool m_inScript = false;
    bool m_commentAtEnd = false;
    TIncludeCallback m_onInclude;
    // Symbol.
    TSymbol m_sy = EofSy;
    int m_headingLevel = 0;
    std::string m_token;
    std::vector<int> m_tokenPos;
    TAttributeList m_attributes;
    // How text runs treat white space; the builder sets these as it enters
    // and leaves PRE and NOBR.
    bool m_pre = false;
    bool m_noBreak = false;
};
