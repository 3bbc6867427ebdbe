// A small reader for the release notes, which come as RTF: Qt has no RTF
// reader of its own. ReadRtf turns the markup into paragraphs of formatted
// runs (no Qt involved, so the tests can look at the result directly), and
// LoadRichText puts them into a Qt text document.
//
// Understood: paragraphs (\par), line breaks (\line), tabs, bold, italic,
// underline, strike-through, font size, text colour with the colour table,
// paragraph alignment, indents, spacing and tab stops, \'hh in
// Windows-1252, \u with its fallback skipped (\uc), the escaped characters
// and the usual named characters (\emdash, \bullet, ...).
// Skipped: ignorable destinations (\*), the font, colour and style tables,
// document information, pictures, objects, headers, footers, field
// instructions and binary data.
//
// Damaged input never fails: what can be read is shown. Unbalanced braces,
// input that stops in the middle, huge numbers and groups nested deeper
// than kRtfMaxDepth (whose content is dropped) are all tolerated, and the
// reader makes one pass over the input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class QString;
class QTextDocument;

namespace rl {

// Groups below this depth are skipped with their content.
constexpr int kRtfMaxDepth = 100;

struct RtfCharFormat {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;
    int halfPoints = 0;  // font size in half points; 0: the control's own font
    bool hasColor = false;
    std::uint32_t color = 0;  // 0xRRGGBB when hasColor

    bool operator==(const RtfCharFormat&) const = default;
};

// A stretch of text in one format: UTF-8, '\n' a line break inside the
// paragraph, '\t' a tab.
struct RtfRun {
    std::string text;
    RtfCharFormat format;
};

enum class RtfAlignment { Left, Center, Right, Justify };

// Indents and spacing in twips (1/1440 inch, 15 to a pixel at 96 DPI).
struct RtfParagraphFormat {
    RtfAlignment alignment = RtfAlignment::Left;
    int leftIndent = 0;
    int rightIndent = 0;
    int firstIndent = 0;  // of the first line, from the left indent
    int spaceBefore = 0;
    int spaceAfter = 0;
    std::vector<int> tabStops;  // positions from the paragraph's left edge

    bool operator==(const RtfParagraphFormat&) const = default;
};

struct RtfParagraph {
    RtfParagraphFormat format;
    std::vector<RtfRun> runs;
    std::string Text() const;
};

struct RtfDocument {
    std::vector<RtfParagraph> paragraphs;
    // The paragraphs' texts, one per line.
    std::string Text() const;
};

// True when the text begins with "{\rtf", as RTF does.
bool IsRtf(std::string_view text);
RtfDocument ReadRtf(std::string_view rtf);

// UTF-8 of one Windows-1252 byte.
std::string Windows1252ToUtf8(unsigned char byte);

namespace qt {

// Replaces the document's content: RTF with its formatting, any other text
// as plain text (UTF-8, or Windows-1252 where it is not valid UTF-8).
// Paragraphs and words too long for a quick layout are given invisible
// break opportunities and go on in further blocks (see ShownText).
void LoadRichText(QTextDocument& document, std::string_view text);
void FillTextDocument(QTextDocument& document, const RtfDocument& rtf);
void FillPlainText(QTextDocument& document, const QString& text);
// The document's text without the break opportunities added to it.
QString ShownText(const QTextDocument& document);
// Text that is not RTF: UTF-8, or Windows-1252 where it is not valid UTF-8.
QString DecodePlainText(std::string_view text);

}  // namespace qt
}  // namespace rl
