#include "live/browser/WatchPage.h"

#include <string_view>

namespace browser {

namespace {

std::string Escape(std::string_view text)
{
    std::string out;
    for (char ch : text) {
        switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += ch;
        }
    }
    return out;
}

} // namespace

std::string WatchPage(const StreamFacts& facts, const std::string& host, uint16_t port, const std::string& linkToken)
{
    const std::string query = linkToken.empty() ? std::string() : "?k=" + Escape(linkToken);
    const std::string authority = Escape(host) + ":" + std::to_string(port);
    const int width = facts.width > 0 ? facts.width : 320;
    const int height = facts.height > 0 ? facts.height : 240;
    std::string page =
        "<!DOCTYPE html>\n"
        "<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>Lumora</title>\n"
        "<style>\n"
        "body{margin:0;padding:12px;font-family:sans-serif;background:#222;color:#eee;text-align:center}\n"
        "h1{font-size:1.3em;margin:0 0 10px}\n"
        "img{display:block;margin:0 auto;max-width:100%;height:auto;background:#000}\n"
        "p{margin:8px 0}\n"
        "code{user-select:all;background:#333;padding:1px 4px;word-break:break-all}\n"
        ".full{color:#fc6}\n"
        "</style>\n</head>\n<body>\n<h1>Lumora</h1>\n";
    page += "<img src=\"/live.mjpg" + query + "\" width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height)
        + "\" alt=\"Live picture\">\n";
    page += "<p>Watching now: " + std::to_string(facts.viewers) + " of " + std::to_string(facts.limit) + "</p>\n";
    if (facts.limit > 0 && facts.viewers >= facts.limit)
        page += "<p class=\"full\">The viewer limit is reached: the picture appears when a viewer leaves "
                "(reload the page).</p>\n";
    if (!facts.streaming)
        page += "<p class=\"full\">The stream is not running.</p>\n";
    page += "<p>In a media player: <code>http://" + authority + "/" + query + "</code> or <code>mmsh://" + authority
        + "/" + query + "</code></p>\n</body>\n</html>\n";
    return page;
}

} // namespace browser
