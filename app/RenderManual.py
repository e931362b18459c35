#!/usr/bin/env python3
"""Renders README.md to the manual the program's help viewer shows.

    RenderManual.py CMARK README.md OUTPUT.html

cmark (CommonMark) does the Markdown. What it leaves for a simple HTML 3
viewer is fixed here:
  - pipe tables (not CommonMark) arrive as paragraphs of "| a | b |" lines:
    they become TABLE/TR/TH/TD;
  - headings get an anchor named as the README's own links name them
    ("## Website publishing" -> #website-publishing), since the viewer jumps
    only to <a name>;
  - the page says it is UTF-8 (the viewer converts it) and gets a title and a
    link back to the program's help page.
"""

import html
import re
import subprocess
import sys


def slug(heading_html):
    """The anchor a Markdown link uses for a heading: its text in lower case,
    punctuation dropped, spaces as hyphens."""
    text = html.unescape(re.sub(r"<[^>]+>", "", heading_html)).strip().lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def cells(row):
    row = row.strip()
    if row.startswith("|"):
        row = row[1:]
    if row.endswith("|"):
        row = row[:-1]
    return [c.strip() for c in row.split("|")]


SEPARATOR = re.compile(r"^\|?\s*:?-{3,}:?\s*(\|\s*:?-{3,}:?\s*)*\|?$")


def table(lines):
    out = ['<table border="1" cellpadding="3" cellspacing="0" width="100%">']
    out.append("<tr>" + "".join("<th align=\"left\">%s</th>" % c for c in cells(lines[0])) + "</tr>")
    for row in lines[2:]:
        out.append("<tr>" + "".join("<td valign=\"top\">%s</td>" % c for c in cells(row)) + "</tr>")
    out.append("</table>")
    return out


def post_process(body):
    lines = body.split("\n")
    out = []
    i = 0
    while i < len(lines):
        line = lines[i]
        # A paragraph whose first two lines are a header row and a separator.
        if line.startswith("<p>|") and i + 1 < len(lines) and SEPARATOR.match(lines[i + 1].strip()):
            rows = [line[len("<p>"):]]
            j = i + 1
            while not rows[-1].endswith("</p>") and j < len(lines):
                rows.append(lines[j])
                j += 1
            rows[-1] = rows[-1][: -len("</p>")]
            out.extend(table(rows))
            i = j
            continue
        heading = re.match(r"^<h([1-6])>(.*)</h\1>$", line)
        if heading:
            out.append('<a name="%s"></a>' % slug(heading.group(2)))
        out.append(line)
        i += 1
    return "\n".join(out)


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: RenderManual.py CMARK README.md OUTPUT.html")
    cmark, source, target = sys.argv[1:]
    body = subprocess.run([cmark, "--to", "html", source], check=True, capture_output=True,
                          text=True, encoding="utf-8").stdout
    page = (
        "<html>\n<head>\n<meta charset=\"utf-8\">\n<title>Lumora manual</title>\n</head>\n<body>\n"
        '<p><a href="help.htm">Back to the help page</a></p>\n'
        + post_process(body)
        + '\n<hr>\n<p><a href="help.htm">Back to the help page</a></p>\n</body>\n</html>\n'
    )
    with open(target, "w", encoding="utf-8") as f:
        f.write(page)


if __name__ == "__main__":
    main()
