#pragma once
// Helpers for the viewer's tests: parse into a document and describe its
// blocks in a compact text, lay out with known metrics.

#include "htmlview/HtmlDocument.h"
#include "htmlview/HtmlParse.h"

#include <memory>
#include <string>

namespace htmltest {

struct Parsed {
    std::unique_ptr<TSectionList> Doc = std::make_unique<TSectionList>();
    TParseResult Result;
};

Parsed Parse(const std::string& html, int defFontSize = 12);

// One token per block, joined by "|": P (paragraph space), H<n> (heading
// space), HR, S:<text> (section), PRE:<text>, UL<level>:<text>,
// OL<level>#<number><style>:<text>, DL<level>:<text>, TABLE<rows>x<cols>,
// BL (an empty line). Bytes below 32 and above 126 are written as \xHH.
std::string Describe(const TCell& cell);

// The section of block index (fails the test when it is not one).
const TSection& SectionAt(const TCell& cell, std::size_t index);

} // namespace htmltest
