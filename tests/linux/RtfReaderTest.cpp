// The RTF reader as a table of small documents: the text and formats it
// reads, and what it makes of damaged ones.
#include <gtest/gtest.h>

#include <iconv.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/linux/RtfReader.h"

namespace rl {
namespace {

using namespace std::string_literals;

// A paragraph as its runs, "[text]" or "[b,i,u,s,fs20,#ff0000:text]";
// paragraphs are joined by " / ".
std::string Dump(const RtfDocument& document) {
    std::string out;
    for (std::size_t p = 0; p < document.paragraphs.size(); ++p) {
        if (p > 0) out += " / ";
        for (const RtfRun& run : document.paragraphs[p].runs) {
            std::vector<std::string> attributes;
            const RtfCharFormat& f = run.format;
            if (f.bold) attributes.push_back("b");
            if (f.italic) attributes.push_back("i");
            if (f.underline) attributes.push_back("u");
            if (f.strike) attributes.push_back("s");
            if (f.halfPoints != 0) attributes.push_back("fs" + std::to_string(f.halfPoints));
            if (f.hasColor) {
                char color[8];
                std::snprintf(color, sizeof color, "#%06x", f.color);
                attributes.push_back(color);
            }
            out += '[';
            for (std::size_t a = 0; a < attributes.size(); ++a) out += (a > 0 ? "," : "") + attributes[a];
            if (!attributes.empty()) out += ':';
            out += run.text + ']';
        }
    }
    return out;
}

struct Case {
    const char* what;
    std::string rtf;
    std::string expected;  // as Dump writes it
};

void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(Dump(ReadRtf(c.rtf)), c.expected) << c.what << ": " << c.rtf;
}

TEST(RtfReader, CharacterFormatsFollowTheirControlWordsAndGroups) {
    Check({
        {"plain text", R"({\rtf1 plain})", "[plain]"},
        {"bold on and off", R"({\rtf1 a\b b\b0 c})", "[a][b:b][c]"},
        {"bold with 1, then without a space before the text", R"({\rtf1\b1 x\b0y})", "[b:x][y]"},
        {"italic, underline, strike", R"({\rtf1\i a\i0\ul b\ulnone c\ul d\ul0 e\strike f})",
         "[i:a][u:b][c][u:d][e][s:f]"},
        {"underline styles; \\ulc is only its colour", R"({\rtf1\uldb a\ulnone b\ulw c\ulnone\ulc5 d})",
         "[u:a][b][u:c][d]"},
        {"a group keeps its changes to itself", R"({\rtf1 a{\b b{\i c}d}e})", "[a][b:b][b,i:c][b:d][e]"},
        {"plain resets the character format", R"({\rtf1\b\i\fs30 a\plain b})", "[b,i,fs30:a][b]"},
        {"font sizes", R"({\rtf1\fs20 a\fs b\fs0 c\fs-4 d\fs99999999999 e\fs1 f})",
         "[fs20:a][fs24:bcd][fs3276:e][fs1:f]"},
        {"one space ends a word and belongs to it", R"({\rtf1\b  two})", "[b: two]"},
        {"unknown words change nothing", R"({\rtf1\ansi\ansicpg1252\deff0\deflang1033\viewkind4 x\nosuchword y})",
         "[xy]"},
    });
}

TEST(RtfReader, ColoursComeFromTheColourTable) {
    Check({
        {"entries by index, 0 is automatic",
         R"({\rtf1{\colortbl;\red255\green0\blue0;\red0\green128\blue0;}\cf1 r\cf2 g\cf0 a})",
         "[#ff0000:r][#008000:g][a]"},
        {"an index beyond the table or below 0 is automatic",
         R"({\rtf1{\colortbl;\red1\green2\blue3;}\cf1 x\cf2 y\cf-1 z\cf99999999999 w})", "[#010203:x][yzw]"},
        {"an entry without components is automatic", R"({\rtf1{\colortbl;;\blue255;}\cf1 x\cf2 y})",
         "[x][#0000ff:y]"},
        {"components are kept to 0..255", R"({\rtf1{\colortbl;\red999\green-5\blue128;}\cf1 x})", "[#ff0080:x]"},
        {"the table's text is not shown", R"({\rtf1{\colortbl red;\red255;}x})", "[x]"},
        {"a colour within a group", R"({\rtf1{\colortbl;\red255\green0\blue0;}a{\cf1 b}c})", "[a][#ff0000:b][c]"},
    });
}

TEST(RtfReader, ParagraphsLineBreaksTabsAndSpecialCharacters) {
    Check({
        {"par, line and tab", R"({\rtf1 one\par two\line three\tab four\par})", "[one] / [two\nthree\tfour]"},
        {"a last paragraph without mark", R"({\rtf1 a\par b})", "[a] / [b]"},
        {"empty paragraphs in between and at the end", R"({\rtf1 a\par\par b\par\par})", "[a] /  / [b] / "},
        {"the empty document", R"({\rtf1})", ""},
        {"a lone paragraph mark", R"({\rtf1\par})", ""},
        {"line ends in the source mean nothing", "{\\rtf1 a\r\nb\nc}", "[abc]"},
        {"a backslash before a line end is a paragraph mark", "{\\rtf1 a\\\nb}", "[a] / [b]"},
        {"escaped braces and backslash", R"({\rtf1 \{x\}\\y})", "[{x}\\y]"},
        {"named characters", R"({\rtf1\emdash\endash\bullet\lquote\rquote\ldblquote\rdblquote\~\_})",
         "[—–•‘’“”\u00a0\u2011]"},
        {"an optional hyphen shows nothing", R"({\rtf1 co\-operate})", "[cooperate]"},
        {"section, page and table row end paragraphs, cells are tabs", R"({\rtf1 a\cell b\row c\sect d\page e})",
         "[a\tb] / [c] / [d] / [e]"},
        {"control characters are dropped", "{\\rtf1 a\x01\x00" "b\tc}"s, "[ab\tc]"},
    });
}

TEST(RtfReader, ParagraphFormatIsTheOneInForceAtTheParagraphMark) {
    const RtfDocument document = ReadRtf(
        R"({\rtf1\pard\qc\li720\ri360\fi-360\sb120\sa60 centre\par\pard right\qr\par\pard{\qj inside}\par)"
        R"(\li99999999999\fi-99999999999\sb-5 far\par\qj last})");
    ASSERT_EQ(document.paragraphs.size(), 5u);
    const RtfParagraphFormat centre{RtfAlignment::Center, 720, 360, -360, 120, 60, {}};
    EXPECT_EQ(document.paragraphs[0].format, centre);
    EXPECT_EQ(document.paragraphs[1].format.alignment, RtfAlignment::Right) << "\\qr after the text still counts";
    EXPECT_EQ(document.paragraphs[2].format.alignment, RtfAlignment::Left) << "the group ended before \\par";
    const RtfParagraphFormat far{RtfAlignment::Left, 31680, 0, -31680, 0, 0, {}};
    EXPECT_EQ(document.paragraphs[3].format, far) << "numbers are kept to 22 inches, spacing to >= 0";
    EXPECT_EQ(document.paragraphs[4].format.alignment, RtfAlignment::Justify)
        << "the last paragraph keeps the format in force when the document closes";

    std::string many = "{\\rtf1\\tx720\\tb360\\tx-5 a\\par\\pard b\\par";
    for (int i = 0; i < 100; ++i) many += "\\tx" + std::to_string(i * 10);
    const RtfDocument tabs = ReadRtf(many + " c}");
    ASSERT_EQ(tabs.paragraphs.size(), 3u);
    EXPECT_EQ(tabs.paragraphs[0].format.tabStops, (std::vector<int>{720, 360, 0}));
    EXPECT_TRUE(tabs.paragraphs[1].format.tabStops.empty()) << "\\pard clears them";
    EXPECT_EQ(tabs.paragraphs[2].format.tabStops.size(), 64u) << "no end of stops";
}

TEST(RtfReader, WindowsCodePageCharactersMatchTheSystemsConversion) {
    iconv_t cd = iconv_open("UTF-8", "WINDOWS-1252");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    for (int byte = 0x20; byte <= 0xFF; ++byte) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\'%02x", byte);
        const std::string read = ReadRtf(std::string("{\\rtf1 ") + hex + "}").Text();
        // The same byte written as it is, not escaped, reads the same.
        const std::string raw(1, static_cast<char>(byte));
        if (byte != '{' && byte != '}' && byte != '\\') {
            EXPECT_EQ(ReadRtf("{\\rtf1 " + raw + "}").Text(), read) << "byte " << byte;
        }
        char in[1] = {static_cast<char>(byte)};
        char out[8] = {};
        char* inp = in;
        char* outp = out;
        std::size_t inLeft = 1;
        std::size_t outLeft = sizeof out;
        const bool defined = iconv(cd, &inp, &inLeft, &outp, &outLeft) != static_cast<std::size_t>(-1);
        if (!defined || byte == 0x7F) {
            // Left undefined by the code page (or DEL): nothing is shown.
            EXPECT_EQ(read, "") << "byte " << byte;
        } else {
            EXPECT_EQ(read, std::string(out, sizeof out - outLeft)) << "byte " << byte;
        }
    }
    iconv_close(cd);
    Check({
        {"a few", R"({\rtf1 caf\'e9 \'80 \'93q\'94 \'9f\'8a\'99})", "[café € “q” ŸŠ™]"},
        {"capital hex digits", R"({\rtf1 \'C4\'D6})", "[ÄÖ]"},
        {"a bad hex digit ends the escape", R"({\rtf1 a\'zzb\'4})", "[azzb]"},
    });
}

TEST(RtfReader, UnicodeCharactersSkipTheirFallback) {
    Check({
        {"one fallback character by default", R"({\rtf1 \u8364?x})", "[€x]"},
        {"the fallback as a code-page escape", R"({\rtf1 \u8364\'80x})", "[€x]"},
        {"uc2", R"({\rtf1\uc2 \u8364\'ca\'d0x})", "[€x]"},
        {"uc0: no fallback", R"({\rtf1\uc0 \u8364 x})", "[€x]"},
        {"uc is kept by its group", R"({\rtf1 {\uc2 \u8364??}\u8364?x})", "[€€x]"},
        {"a negative value counts from 65536", R"({\rtf1 \u-28711?})", "[这]"},
        {"a surrogate pair", R"({\rtf1 \u-10179?\u-8704?})", "[\U0001F600]"},
        {"a high surrogate alone", R"({\rtf1 \u-10179?x})", "[\uFFFDx]"},
        {"a low surrogate alone", R"({\rtf1 \u-8704?x})", "[\uFFFDx]"},
        {"out of range", R"({\rtf1 \u70000?a\u99999999999?b\u-99999?c})", "[\uFFFDa\uFFFDb\uFFFDc]"},
        {"a group ends the fallback", R"({\rtf1\uc3 \u8364{x}y})", "[€xy]"},
        {"a control word counts as one", R"({\rtf1\uc2 \u8364\b ?x})", "[€x]"},
        {"line ends do not count", "{\\rtf1 \\u8364\r\n?x}", "[€x]"},
        {"the fallback keeps no format change", R"({\rtf1\uc1 \u8364\b x})", "[€x]"},
    });
}

TEST(RtfReader, TablesInformationAndIgnorableDestinationsAreSkipped) {
    Check({
        {"a WordPad header",
         R"({\rtf1\ansi\ansicpg1252\deff0\nouicompat{\fonttbl{\f0\fnil\fcharset0 Tahoma;}{\f1\fnil Symbol;}})"
         R"({\colortbl ;\red255\green0\blue0;}{\*\generator Riched20 10.0.19041}\viewkind4\uc1 )"
         R"(\pard\sa200\sl276\slmult1\f0\fs22\lang7 Notes\par})",
         "[fs22:Notes]"},
        {"style sheet, information, pictures",
         R"({\rtf1{\stylesheet{\s1 Heading 1;}}{\info{\title T}{\author A}}{\pict\pngblip 89504e47}x})", "[x]"},
        {"ignorable destinations, known or not", R"({\rtf1{\*\unknown text{\b nested}}a{\*\shppict{\pict 00}}b})",
         "[ab]"},
        {"headers, footers, footnotes, objects",
         R"({\rtf1{\header h}{\footer f}{\footnote n}{\object o}x{\nonshppict y}})", "[x]"},
        {"a field shows its result only",
         R"({\rtf1 see {\field{\*\fldinst HYPERLINK "https://example.org"}{\fldrslt the site}}.})",
         "[see the site.]"},
        {"a list's bullet text is shown, its numbering definition is not",
         R"({\rtf1{\pntext\f1\'b7\tab}{\*\pn\pnlvlblt\pnf1{\pntxtb\'b7}}\fi-360\li720 item\par})", "[·\titem]"},
        {"a paragraph mark inside a skipped group", "{\\rtf1 a{\\*\\x b\\\nc}{\\colortbl;\\\n}d}", "[ad]"},
        {"binary data is skipped by its length, braces and all", R"({\rtf1 a{\*\blob\bin4 {}{}}b})", "[ab]"},
        {"binary data longer than the rest", R"({\rtf1 a\bin99999999999 xyz})", "[a]"},
        {"text after the document is not part of it", R"({\rtf1 a}b{\rtf1 c})", "[a]"},
    });
}

TEST(RtfReader, DamagedDocumentsShowWhatCanBeRead) {
    const std::string deep = "{\\rtf1 a" + std::string(100000, '{') + "b" + std::string(100000, '}') + "c}";
    // The document's group and 99 more are read; a group deeper than that
    // is dropped with its content.
    const std::string limit = "{\\rtf1 " + std::string(kRtfMaxDepth - 1, '{') + "x{y}" +
                              std::string(kRtfMaxDepth - 1, '}') + "}";
    std::string bombs = "{\\rtf1 ";
    for (int i = 0; i < 20000; ++i) bombs += "\\fs99999999999999999999999999\\u-99999999999999999999?";
    bombs += "}";
    Check({
        {"a closing brace too many", R"({\rtf1 a}b})", "[a]"},
        {"closing braces missing", R"({\rtf1 a{\b b)", "[a][b:b]"},
        {"cut in a control word", R"({\rtf1 a\pa)", "[a]"},
        {"cut after a backslash", "{\\rtf1 a\\", "[a]"},
        {"cut in a hex escape", R"({\rtf1 a\'e)", "[a]"},
        {"cut in a number", R"({\rtf1 a\fs2)", "[a]"},
        {"cut after \\u", R"({\rtf1 \u8364)", "[€]"},
        {"cut in a high surrogate's fallback", R"({\rtf1 a\u-10179)", "[a]"},
        {"cut in the colour table", R"({\rtf1{\colortbl;\red255)", ""},
        {"cut in an ignorable destination", R"({\rtf1 a{\*\gen)", "[a]"},
        {"just the start", "{\\rtf", ""},
        {"nested far too deep", deep, "[ac]"},
        {"nested to the limit", limit, "[x]"},
        {"huge numbers many times", bombs, "[fs3276:" + [] {
             std::string s;
             for (int i = 0; i < 20000; ++i) s += "\uFFFD";
             return s;
         }() + "]"},
        {"not RTF at all", "}}}{{{\\\\", ""},
    });
}

TEST(RtfReader, OnlyTextBeginningWithTheRtfGroupIsRtf) {
    struct Row {
        const char* text;
        bool rtf;
    };
    const Row rows[] = {
        {"{\\rtf1\\ansi x}", true}, {"{\\rtf", true},     {" {\\rtf1 x}", false}, {"{\\RTF1 x}", false},
        {"\\rtf1", false},          {"plain notes", false}, {"", false},           {"\r\n{\\rtf1 x}", false},
    };
    for (const Row& row : rows) EXPECT_EQ(IsRtf(row.text), row.rtf) << row.text;
}

}  // namespace
}  // namespace rl
