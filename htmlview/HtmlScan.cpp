#include "htmlview/HtmlScan.h"

#include "htmlview/HtmlEntities.h"
#include "htmlview/HtmlParse.h"
#include "platform/core/Text.h"

#include <climits>
#include <cstring>

using htmlscan::CR;
using htmlscan::EofChar;
using htmlscan::IsDigit;
using htmlscan::IsLetter;
using htmlscan::LF;

namespace {

using asciitext::Trim;
using asciitext::UpperChar;

// Thrown inside the comment reader only; it never leaves SkipComment.
struct EndOfInputInComment {};

// Numeric value of an attribute: the trimmed text without one trailing "%".
int NumericValue(const std::string& value)
{
    std::string t = Trim(value);
    if (!t.empty() && t.back() == '%')
        t.pop_back();
    return htmlscan::StrToIntDef(t, 0);
}

} // namespace

int htmlscan::StrToIntDef(const std::string& s, int fallback)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    if (i >= s.size())
        return fallback;
    long long value = 0;
    for (; i < s.size(); ++i) {
        if (!IsDigit(s[i]))
            return fallback;
        value = value * 10 + (s[i] - '0');
        if (value > INT_MAX)
            return fallback;
    }
    return static_cast<int>(negative ? -value : value);
}

void THtmlScanner::ResetScan()
{
    m_input = nullptr;
    m_inPos = 0;
    m_include.clear();
    m_incPos = 0;
    m_includeActive = false;
    m_pos = -1;
    m_lch = m_ch = 0;
    m_lastBreak = 0;
    m_inScript = false;
    m_commentAtEnd = false;
    m_onInclude = nullptr;
    m_sy = EofSy;
    m_token.clear();
    m_tokenPos.clear();
    m_attributes.clear();
    m_pre = m_noBreak = false;
}

// ---------------------------------------------------------------------------
// Characters

int THtmlScanner::RawNext()
{
    if (m_includeActive) {
        if (m_incPos < m_include.size())
            return static_cast<unsigned char>(m_include[m_incPos++]);
        m_includeActive = false;
        m_include.clear();
        m_incPos = 0;
    }
    if (m_input && m_inPos < m_input->size())
        return static_cast<unsigned char>((*m_input)[m_inPos++]);
    return EofChar;
}

int THtmlScanner::RawPeekAt(std::size_t offset) const
{
    if (m_includeActive) {
        if (m_incPos + offset < m_include.size())
            return static_cast<unsigned char>(m_include[m_incPos + offset]);
        offset -= m_include.size() - m_incPos;
    }
    if (m_input && m_inPos + offset < m_input->size())
        return static_cast<unsigned char>((*m_input)[m_inPos + offset]);
    return EofChar;
}

void THtmlScanner::ReadChar()
{
    for (;;) {
        if (m_commentAtEnd) {
            m_lch = m_ch = EofChar;
            return;
        }
        int c = RawNext();
        ++m_pos;
        if (c == LF) {
            if (m_lastBreak == CR) {
                m_lastBreak = 0;
                continue;
            }
            m_lastBreak = LF;
            c = CR;
        } else if (c == CR) {
            if (m_lastBreak == LF) {
                m_lastBreak = 0;
                continue;
            }
            m_lastBreak = CR;
        } else {
            m_lastBreak = 0;
        }
        if (c == '\t')
            c = ' ';
        m_lch = static_cast<unsigned char>(c);
        m_ch = static_cast<unsigned char>(UpperChar(c));
        if (m_ch == '<' && !m_inScript && RawPeekAt(0) == '!') {
            SkipComment();
            continue;
        }
        return;
    }
}

// The next character inside a comment or a directive; the end of the input
// there marks the comment open at the end and unwinds to SkipComment.
int THtmlScanner::CommentNext()
{
    int c = RawNext();
    ++m_pos;
    if (c == EofChar) {
        m_commentAtEnd = true;
        throw EndOfInputInComment();
    }
    return c;
}

// Reads up to and including the end of a comment: two or more dashes, then
// optional white space, then ">". dashes: how many were read just before.
void THtmlScanner::ReadToCommentEnd(int dashes)
{
    for (;;) {
        int c = CommentNext();
        if (c == '-') {
            ++dashes;
            continue;
        }
        if (dashes >= 2) {
            while (c == ' ' || c == '\t' || c == CR || c == LF)
                c = CommentNext();
            if (c == '>')
                return;
            dashes = c == '-' ? 1 : 0;
            continue;
        }
        dashes = 0;
    }
}

// Skips "<!...>" or a comment "<!-- ... -->"; the "<" is read, "!" is next.
// An open comment at the end of the input ends the input here; the error is
// raised once the text before it has been taken.
void THtmlScanner::SkipComment()
{
    try {
        CommentNext(); // "!"
        if (RawPeekAt(0) == '-' && RawPeekAt(1) == '-') {
            CommentNext();
            CommentNext();
            if (RawPeekAt(0) == '#' && m_onInclude && !m_includeActive) {
                CommentNext();
                RunIncludeDirective();
                return;
            }
            ReadToCommentEnd(2);
            return;
        }
        while (CommentNext() != '>') {
        }
    } catch (const EndOfInputInComment&) {
    }
}

// "<!--#name attr=value ... -->": "<!--#" is read. The directive's text,
// when the include callback gives one, is read before the rest of the input.
void THtmlScanner::RunIncludeDirective()
{
    std::string command;
    while (IsLetter(RawPeekAt(0)))
        command += static_cast<char>(CommentNext());
    std::vector<std::string> params;
    for (;;) {
        while (RawPeekAt(0) == ' ' || RawPeekAt(0) == '\t' || RawPeekAt(0) == CR || RawPeekAt(0) == LF)
            CommentNext();
        if (!IsLetter(RawPeekAt(0)))
            break;
        std::string name;
        while (IsLetter(RawPeekAt(0)) || RawPeekAt(0) == '-')
            name += static_cast<char>(UpperChar(CommentNext()));
        std::string value;
        while (RawPeekAt(0) == ' ')
            CommentNext();
        if (RawPeekAt(0) == '=') {
            CommentNext();
            while (RawPeekAt(0) == ' ')
                CommentNext();
            const int q = RawPeekAt(0);
            if (q == '"' || q == '\'') {
                CommentNext();
                for (int c = CommentNext(); c != q; c = CommentNext())
                    value += static_cast<char>(c);
            } else {
                while (RawPeekAt(0) != ' ' && RawPeekAt(0) != '>' && RawPeekAt(0) != '-' && RawPeekAt(0) != CR &&
                       RawPeekAt(0) != LF && RawPeekAt(0) != EofChar)
                    value += static_cast<char>(CommentNext());
            }
        }
        params.push_back(name + "=\"" + value + "\"");
    }
    ReadToCommentEnd(0);
    std::string text;
    m_onInclude(command, params, text);
    if (!text.empty()) {
        m_include = std::move(text);
        m_incPos = 0;
        m_includeActive = true;
    }
}

// ---------------------------------------------------------------------------
// Symbols

void THtmlScanner::AddTokenChar(char c, int pos)
{
    m_token.push_back(c);
    m_tokenPos.push_back(pos);
}

void THtmlScanner::SkipWhiteSpace()
{
    while (m_ch == ' ' || m_ch == CR)
        ReadChar();
}

void THtmlScanner::NextSymbol()
{
    // Script text ends where its handler asks for the next symbol, even
    // when no handler read it.
    m_inScript = false;
    m_token.clear();
    m_tokenPos.clear();
    for (;;) {
        if (m_ch == EofChar) {
            if (m_commentAtEnd)
                throw EParseError("Open Comment at End of HTML File");
            m_sy = EofSy;
            return;
        }
        if (m_ch == '<') {
            ReadTag();
            return;
        }
        if (m_ch == '&') {
            ReadEntity();
            m_sy = TextSy;
            return;
        }
        if (ReadTextRun()) {
            m_sy = TextSy;
            return;
        }
        // A stray control character. It is not kept: inside a section the
        // low codes mark images and controls.
        ReadChar();
    }
}

bool THtmlScanner::ReadTag()
{
    const int start = m_pos;
    ReadChar();
    bool end = false;
    if (m_ch == '/') {
        end = true;
        ReadChar();
    }
    if (!end && m_ch == '?' && IsLetter(RawPeekAt(0))) {
        // A processing instruction such as the "<?xml ...?>" line of an
        // XHTML page: not content.
        while (m_ch != '>' && m_ch != EofChar)
            ReadChar();
        if (m_ch == '>')
            ReadChar();
        m_sy = UnknownSy;
        return true;
    }
    if (!(m_ch >= 'A' && m_ch <= 'Z')) {
        AddTokenChar('<', start);
        if (end)
            AddTokenChar('/', start + 1);
        m_sy = TextSy;
        return false;
    }
    std::string name;
    while (m_ch >= 'A' && m_ch <= 'Z') {
        if (name.size() < 255)
            name += static_cast<char>(m_ch);
        ReadChar();
    }
    const int index = TagIndex(name);
    if (index < 0)
        m_sy = UnknownSy;
    else if (end)
        m_sy = index < kEndTagCount ? EndTag(static_cast<TSymbol>(index)) : UnknownSy;
    else
        m_sy = static_cast<TSymbol>(index);
    SkipWhiteSpace();
    if (index == HeadingSy) {
        m_headingLevel = 0;
        if (m_ch >= '1' && m_ch <= '6') {
            m_headingLevel = m_ch - '0';
            ReadChar();
        }
    }
    m_attributes.clear();
    while (ReadAttribute()) {
    }
    // Script text is read without comment processing from the character
    // after ">" on: a "<!--" inside it is code, not the start of a comment
    // that would swallow the page.
    if (m_sy == ScriptSy)
        m_inScript = true;
    unsigned char last = 0;
    while (m_ch != '>' && m_ch != EofChar) {
        last = m_ch;
        ReadChar();
    }
    // A style sheet is not content and its rules are not ours to apply. An
    // XHTML "<style/>" has none.
    if (m_ch == '>' && !end && name == "STYLE" && last != '/') {
        SkipRawTextElement("STYLE");
        return true;
    }
    if (m_ch == '>')
        ReadChar();
    return true;
}

// At the ">" of an element whose content is not markup: skips up to its end
// tag ("</" + name, any case), which is then read as an ordinary symbol, or
// to the end of the input. Comments are not processed on the way.
void THtmlScanner::SkipRawTextElement(const char* upperName)
{
    const std::size_t length = std::strlen(upperName);
    const bool saved = m_inScript;
    m_inScript = true;
    ReadChar();
    while (m_ch != EofChar) {
        if (m_ch == '<' && RawPeekAt(0) == '/') {
            bool atEnd = true;
            for (std::size_t i = 0; i < length && atEnd; ++i)
                atEnd = UpperChar(RawPeekAt(1 + i)) == upperName[i];
            if (atEnd && !IsLetter(RawPeekAt(1 + length)))
                break;
        }
        ReadChar();
    }
    m_inScript = saved;
}

bool THtmlScanner::ReadAttribute()
{
    SkipWhiteSpace();
    if (!IsLetter(m_ch))
        return false;
    TAttribute attr;
    while (IsLetter(m_ch) || m_ch == '-') {
        if (attr.Name.size() < 255)
            attr.Name += static_cast<char>(m_ch);
        ReadChar();
    }
    const int index = AttributeIndex(attr.Name);
    attr.Which = index < 0 ? UnknownAttrSy : static_cast<TAttrSymbol>(index);
    SkipWhiteSpace();
    if (m_ch != '=') {
        attr.Numeric = attr.Which == BorderSy ? 1 : 0;
        m_attributes.push_back(std::move(attr));
        return true;
    }
    ReadChar();
    SkipWhiteSpace();
    if (m_ch == '"' || m_ch == '\'') {
        const unsigned char quote = m_ch;
        ReadChar();
        while (m_ch != quote && m_ch != EofChar) {
            if (m_ch == '&') {
                ReadEntity();
                attr.Value += m_token;
                m_token.clear();
                m_tokenPos.clear();
                continue;
            }
            if (m_ch != CR)
                attr.Value += static_cast<char>(m_lch);
            ReadChar();
        }
        if (m_ch == quote)
            ReadChar();
        attr.Numeric = NumericValue(attr.Value);
    } else if (IsDigit(m_ch) || m_ch == '+' || m_ch == '-') {
        while (m_ch != ' ' && m_ch != CR && m_ch != '>' && m_ch != EofChar) {
            attr.Value += static_cast<char>(m_lch);
            ReadChar();
        }
        attr.Numeric = NumericValue(attr.Value);
    } else {
        while (m_ch != ' ' && m_ch != CR && m_ch != '>' && m_ch != EofChar) {
            attr.Value += static_cast<char>(m_lch);
            ReadChar();
        }
    }
    m_attributes.push_back(std::move(attr));
    return true;
}

// At "&": an entity becomes its character(s); anything that is not one stays
// as the plain text read.
void THtmlScanner::ReadEntity()
{
    const int start = m_pos;
    std::string read = "&";
    std::vector<int> readPos{start};
    auto keepAsText = [&] {
        for (std::size_t i = 0; i < read.size(); ++i)
            AddTokenChar(read[i], readPos[i]);
    };
    ReadChar();
    if (m_ch == '#') {
        read += '#';
        readPos.push_back(m_pos);
        ReadChar();
        int digits = 0;
        long value = 0;
        while (IsDigit(m_ch) && digits < 6) {
            read += static_cast<char>(m_ch);
            readPos.push_back(m_pos);
            value = value * 10 + (m_ch - '0');
            ++digits;
            ReadChar();
        }
        if (digits == 0 || IsDigit(m_ch)) {
            keepAsText();
            return;
        }
        std::string result;
        if (value > 255)
            result = static_cast<char>(UnicodeToCp1252(static_cast<std::uint32_t>(value)));
        else if (value == 9)
            result = ' '; // a char, not " ": g++ 12 warns wrongly (-Wrestrict) on that assignment here
        else if (value == 10)
            result = static_cast<char>(CR);
        else if (value >= 32)
            result = static_cast<char>(value);
        else {
            keepAsText();
            return;
        }
        if (m_ch == ';')
            ReadChar();
        for (char c : result)
            AddTokenChar(c, start);
        return;
    }
    // The Latin-1 names (and the first eight) have at most six characters;
    // HTML 4's longer ones ("thetasym") up to eight, and those count only
    // with their ";", so "&lang=en" in a link stays as written.
    std::string name;
    while ((IsLetter(m_lch) || IsDigit(m_lch)) && name.size() < 8) {
        name += static_cast<char>(m_lch);
        read += static_cast<char>(m_lch);
        readPos.push_back(m_pos);
        ReadChar();
    }
    std::string result;
    if (name.empty() || IsLetter(m_lch) || IsDigit(m_lch)) {
        keepAsText();
        return;
    }
    if (name.size() > 6 || !LookupEntity(name, result)) {
        const std::uint32_t cp = m_ch == ';' ? Html4EntityCodePoint(name) : 0;
        if (cp == 0) {
            keepAsText();
            return;
        }
        result = static_cast<char>(UnicodeToCp1252(cp));
    }
    if (m_ch == ';')
        ReadChar();
    for (char c : result)
        AddTokenChar(c, start);
}

bool THtmlScanner::ReadTextRun()
{
    while (m_token.size() < 100) {
        if (m_ch == EofChar || m_ch == '<' || m_ch == '&' || (m_ch < 32 && m_ch != CR))
            break;
        if (!m_pre && (m_ch == ' ' || m_ch == CR)) {
            AddTokenChar(m_noBreak ? htmlchar::NbSpace : ' ', m_pos);
            ReadChar();
            while (m_ch == ' ' || m_ch == CR)
                ReadChar();
            continue;
        }
        AddTokenChar(static_cast<char>(m_lch), m_pos);
        ReadChar();
    }
    return !m_token.empty();
}
