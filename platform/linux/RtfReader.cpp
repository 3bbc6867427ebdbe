#include "platform/linux/RtfReader.h"

#include <QStringDecoder>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <array>
#include <cstddef>

namespace rl {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
// Numbers beyond this are cut to it; more digits are read but not counted.
constexpr std::int64_t kNumberLimit = 2147483647;
// RichEdit's largest font, 1638 points.
constexpr int kMaxHalfPoints = 3276;
constexpr int kDefaultHalfPoints = 24;
// 22 inches: more than any page.
constexpr int kMaxTwips = 31680;
constexpr int kMaxUnicodeSkip = 255;
constexpr std::size_t kMaxTabStops = 64;

// 0x80-0x9F of Windows-1252; the five bytes it leaves undefined map to the
// same code points, as Windows maps them.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char32_t FromCp1252(unsigned char byte) {
    return byte >= 0x80 && byte <= 0x9F ? kCp1252High[byte - 0x80] : byte;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int Clamp(std::int64_t value, int low, int high) {
    return static_cast<int>(std::clamp<std::int64_t>(value, low, high));
}

// Destinations whose content is never shown.
constexpr auto kSkippedDestinations = std::to_array<std::string_view>({
    "annotation", "atnauthor", "atnid",      "author",      "bkmkend",    "bkmkstart",
    "colorschememapping",     "comment",    "datastore",   "doccomm",    "filetbl",
    "fldinst",    "fonttbl",  "footer",     "footerf",     "footerl",    "footerr",
    "footnote",   "header",   "headerf",    "headerl",     "headerr",    "info",
    "latentstyles", "listoverridetable",    "listtable",   "nonshppict", "object",
    "pict",       "pn",       "pntxta",     "pntxtb",      "revtbl",     "rsidtbl",
    "stylesheet", "tc",       "themedata",  "xe",
});

// Words that stand for one character.
struct NamedChar {
    std::string_view word;
    char32_t c;
};
constexpr auto kNamedChars = std::to_array<NamedChar>({
    {"bullet", 0x2022},
    {"emdash", 0x2014},
    {"emspace", 0x2003},
    {"endash", 0x2013},
    {"enspace", 0x2002},
    {"ldblquote", 0x201C},
    {"lquote", 0x2018},
    {"qmspace", 0x2005},
    {"rdblquote", 0x201D},
    {"rquote", 0x2019},
    {"tab", U'\t'},
    {"cell", U'\t'},  // a table's cells, side by side
});

// Underline styles: each turns the underline on (or off with 0).
constexpr auto kUnderlineWords = std::to_array<std::string_view>({
    "ul",       "uld",       "uldash",     "uldashd",   "uldashdd",  "uldb",
    "ulhwave",  "ulldash",   "ulth",       "ulthd",     "ulthdash",  "ulthdashd",
    "ulthdashdd", "ulthldash", "ululdbwave", "ulw",     "ulwave",
});

template <typename Table>
bool Contains(const Table& table, std::string_view word) {
    return std::find(table.begin(), table.end(), word) != table.end();
}

enum class Destination { Text, Skip, ColorTable };

struct GroupState {
    RtfCharFormat chars;
    RtfParagraphFormat paragraph;
    int unicodeSkip = 1;  // \uc: fallback characters after each \u
    Destination destination = Destination::Text;
};

struct ColorEntry {
    bool set = false;
    std::uint32_t rgb = 0;
};

class Reader {
public:
    explicit Reader(std::string_view input) : in_(input) {}

    RtfDocument Read() {
        while (pos_ < in_.size() && !done_) Step();
        // Text after the last paragraph mark is a paragraph of its own.
        if (!current_.runs.empty()) EndParagraph();
        return std::move(document_);
    }

private:
    // One token: a brace, a control word or symbol, or a character.
    void Step() {
        const char c = in_[pos_++];
        switch (c) {
            case '{': OpenGroup(); return;
            case '}': CloseGroup(); return;
            case '\\': ControlSequence(); return;
            case '\r':
            case '\n': return;  // line ends in RTF source mean nothing
            default: Character(FromCp1252(static_cast<unsigned char>(c))); return;
        }
    }

    bool Skipping() const { return excessDepth_ > 0 || stack_.empty() || stack_.back().destination == Destination::Skip; }
    bool InText() const { return !Skipping() && stack_.back().destination == Destination::Text; }

    void OpenGroup() {
        FlushSurrogate();
        unicodeSkipLeft_ = 0;
        if (excessDepth_ > 0 || static_cast<int>(stack_.size()) >= kRtfMaxDepth) {
            ++excessDepth_;
            return;
        }
        stack_.push_back(stack_.empty() ? GroupState{} : stack_.back());
    }

    void CloseGroup() {
        FlushSurrogate();
        unicodeSkipLeft_ = 0;
        if (excessDepth_ > 0) {
            --excessDepth_;
            return;
        }
        if (stack_.empty()) {
            done_ = true;
            return;
        }
        // The document's own group is closed: its last paragraph ends with
        // the format in force, and what follows is not part of it.
        if (stack_.size() == 1) {
            if (InText() && !current_.runs.empty()) EndParagraph();
            done_ = true;
        }
        stack_.pop_back();
    }

    // A character of the text (or of the colour table).
    void Character(char32_t c) {
        if (ConsumedAsFallback()) return;
        if (Skipping()) return;
        if (stack_.back().destination == Destination::ColorTable) {
            if (c == U';') {
                colors_.push_back(color_);
                color_ = ColorEntry{};
            }
            return;
        }
        Emit(c);
    }

    // After \u, the next characters (or control words) are its stand-in
    // for readers without Unicode.
    bool ConsumedAsFallback() {
        if (unicodeSkipLeft_ == 0) return false;
        --unicodeSkipLeft_;
        return true;
    }

    void ControlSequence() {
        if (pos_ >= in_.size()) return;
        const char c = in_[pos_];
        if (!IsLetter(c)) {
            ++pos_;
            ControlSymbol(c);
            return;
        }
        const std::size_t start = pos_;
        while (pos_ < in_.size() && IsLetter(in_[pos_])) ++pos_;
        const std::string_view word = in_.substr(start, pos_ - start);
        bool hasParam = false;
        std::int64_t param = 0;
        if (pos_ < in_.size() && (IsDigit(in_[pos_]) || (in_[pos_] == '-' && pos_ + 1 < in_.size() && IsDigit(in_[pos_ + 1])))) {
            const bool negative = in_[pos_] == '-';
            if (negative) ++pos_;
            hasParam = true;
            while (pos_ < in_.size() && IsDigit(in_[pos_])) {
                if (param <= kNumberLimit) param = param * 10 + (in_[pos_] - '0');
                ++pos_;
            }
            param = std::min(param, kNumberLimit);
            if (negative) param = -param;
        }
        // One space ends the word and belongs to it.
        if (pos_ < in_.size() && in_[pos_] == ' ') ++pos_;
        ControlWord(word, hasParam, param);
    }

    void ControlSymbol(char c) {
        switch (c) {
            case '\\':
            case '{':
            case '}': Character(static_cast<unsigned char>(c)); return;
            case '\'': HexCharacter(); return;
            case '~': Character(0x00A0); return;
            case '_': Character(0x2011); return;
            case '\r':
            case '\n':
                if (!ConsumedAsFallback()) ParagraphMark();
                return;
            case '*':
                // An ignorable destination: the whole group goes.
                if (!stack_.empty()) stack_.back().destination = Destination::Skip;
                return;
            default:
                // \- (optional hyphen), \| and \: (index marks) show nothing.
                ConsumedAsFallback();
                return;
        }
    }

    void HexCharacter() {
        int value = 0;
        int digits = 0;
        while (digits < 2 && pos_ < in_.size()) {
            const int digit = HexValue(in_[pos_]);
            if (digit < 0) break;
            value = value * 16 + digit;
            ++digits;
            ++pos_;
        }
        if (digits == 0) {
            ConsumedAsFallback();
            return;
        }
        Character(FromCp1252(static_cast<unsigned char>(value)));
    }

    void ControlWord(std::string_view word, bool hasParam, std::int64_t param) {
        // A destination or \bin acts even inside a \u fallback; it is still
        // counted as one skipped item.
        const bool fallback = ConsumedAsFallback();
        if (word == "bin") {
            const std::int64_t length = hasParam ? std::max<std::int64_t>(param, 0) : 0;
            pos_ += static_cast<std::size_t>(std::min<std::int64_t>(length, static_cast<std::int64_t>(in_.size() - pos_)));
            return;
        }
        if (excessDepth_ > 0 || stack_.empty()) return;
        GroupState& state = stack_.back();
        if (Contains(kSkippedDestinations, word)) {
            state.destination = Destination::Skip;
            return;
        }
        if (word == "colortbl") {
            if (state.destination == Destination::Text) {
                state.destination = Destination::ColorTable;
                colors_.clear();
                color_ = ColorEntry{};
            }
            return;
        }
        if (state.destination == Destination::Skip) return;
        if (state.destination == Destination::ColorTable) {
            ColorComponent(word, hasParam, param);
            return;
        }
        if (word == "u") {
            if (fallback || !hasParam) return;
            Unicode(param);
            unicodeSkipLeft_ = state.unicodeSkip;
            return;
        }
        if (fallback) return;
        Formatting(state, word, hasParam, param);
    }

    void ColorComponent(std::string_view word, bool hasParam, std::int64_t param) {
        const std::uint32_t value = static_cast<std::uint32_t>(Clamp(hasParam ? param : 0, 0, 255));
        if (word == "red") color_.rgb = (color_.rgb & 0x00FFFFu) | (value << 16);
        else if (word == "green") color_.rgb = (color_.rgb & 0xFF00FFu) | (value << 8);
        else if (word == "blue") color_.rgb = (color_.rgb & 0xFFFF00u) | value;
        else return;
        color_.set = true;
    }

    void Formatting(GroupState& state, std::string_view word, bool hasParam, std::int64_t param) {
        RtfCharFormat& chars = state.chars;
        RtfParagraphFormat& para = state.paragraph;
        const bool on = !hasParam || param != 0;
        const auto twips = [&] { return Clamp(hasParam ? param : 0, -kMaxTwips, kMaxTwips); };
        if (word == "par" || word == "sect" || word == "page" || word == "row") {
            ParagraphMark();
        } else if (word == "line") {
            Emit(U'\n');
        } else if (word == "b") {
            chars.bold = on;
        } else if (word == "i") {
            chars.italic = on;
        } else if (word == "strike") {
            chars.strike = on;
        } else if (Contains(kUnderlineWords, word)) {
            chars.underline = on;
        } else if (word == "ulnone") {
            chars.underline = false;
        } else if (word == "fs") {
            chars.halfPoints = hasParam && param > 0 ? Clamp(param, 1, kMaxHalfPoints) : kDefaultHalfPoints;
        } else if (word == "cf") {
            const std::int64_t index = hasParam ? param : 0;
            // 0, or an entry without components, is the automatic colour.
            if (index > 0 && index < static_cast<std::int64_t>(colors_.size()) &&
                colors_[static_cast<std::size_t>(index)].set) {
                chars.hasColor = true;
                chars.color = colors_[static_cast<std::size_t>(index)].rgb;
            } else {
                chars.hasColor = false;
                chars.color = 0;
            }
        } else if (word == "plain") {
            chars = RtfCharFormat{};
        } else if (word == "pard") {
            para = RtfParagraphFormat{};
        } else if (word == "ql") {
            para.alignment = RtfAlignment::Left;
        } else if (word == "qc") {
            para.alignment = RtfAlignment::Center;
        } else if (word == "qr") {
            para.alignment = RtfAlignment::Right;
        } else if (word == "qj") {
            para.alignment = RtfAlignment::Justify;
        } else if (word == "li") {
            para.leftIndent = twips();
        } else if (word == "ri") {
            para.rightIndent = twips();
        } else if (word == "fi") {
            para.firstIndent = twips();
        } else if (word == "sb") {
            para.spaceBefore = std::max(0, twips());
        } else if (word == "sa") {
            para.spaceAfter = std::max(0, twips());
        } else if (word == "tx" || word == "tb") {
            if (hasParam && para.tabStops.size() < kMaxTabStops) para.tabStops.push_back(std::max(0, twips()));
        } else if (word == "uc") {
            state.unicodeSkip = hasParam ? Clamp(param, 0, kMaxUnicodeSkip) : 1;
        } else {
            for (const NamedChar& named : kNamedChars) {
                if (named.word == word) {
                    Emit(named.c);
                    return;
                }
            }
            // Anything else is a word this reader does not need.
        }
    }

    // \u takes a signed 16-bit value; characters beyond the basic plane
    // come as two of them, a surrogate pair.
    void Unicode(std::int64_t value) {
        if (value < 0) value += 65536;
        if (value < 0 || value > 0xFFFF) {
            Emit(kReplacement);
            return;
        }
        const auto unit = static_cast<char32_t>(value);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            FlushSurrogate();
            highSurrogate_ = unit;
            return;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            if (highSurrogate_ == 0) {
                Emit(kReplacement);
                return;
            }
            const char32_t c = 0x10000 + ((highSurrogate_ - 0xD800) << 10) + (unit - 0xDC00);
            highSurrogate_ = 0;
            Emit(c);
            return;
        }
        Emit(unit);
    }

    // A high surrogate that no low one follows.
    void FlushSurrogate() {
        if (highSurrogate_ == 0) return;
        highSurrogate_ = 0;
        if (InText()) Add(kReplacement);
    }

    void Emit(char32_t c) {
        if (!InText()) return;
        FlushSurrogate();
        Add(c);
    }

    void Add(char32_t c) {
        // Control characters other than the tab and the line break show
        // nothing; nor do the byte values Windows-1252 leaves undefined.
        if ((c < 0x20 && c != U'\t' && c != U'\n') || (c >= 0x7F && c <= 0x9F)) return;
        const RtfCharFormat& format = stack_.back().chars;
        if (current_.runs.empty() || !(current_.runs.back().format == format)) current_.runs.push_back(RtfRun{{}, format});
        AppendUtf8(current_.runs.back().text, c);
    }

    void ParagraphMark() {
        if (!InText()) return;
        FlushSurrogate();
        EndParagraph();
    }

    // A paragraph takes the paragraph format in force at its end.
    void EndParagraph() {
        current_.format = stack_.empty() ? RtfParagraphFormat{} : stack_.back().paragraph;
        document_.paragraphs.push_back(std::move(current_));
        current_ = RtfParagraph{};
    }

    std::string_view in_;
    std::size_t pos_ = 0;
    bool done_ = false;
    std::vector<GroupState> stack_;
    int excessDepth_ = 0;
    int unicodeSkipLeft_ = 0;
    char32_t highSurrogate_ = 0;
    std::vector<ColorEntry> colors_;
    ColorEntry color_;
    RtfParagraph current_;
    RtfDocument document_;
};

}  // namespace

std::string RtfParagraph::Text() const {
    std::string text;
    for (const RtfRun& run : runs) text += run.text;
    return text;
}

std::string RtfDocument::Text() const {
    std::string text;
    for (std::size_t i = 0; i < paragraphs.size(); ++i) {
        if (i > 0) text += '\n';
        text += paragraphs[i].Text();
    }
    return text;
}

bool IsRtf(std::string_view text) { return text.starts_with("{\\rtf"); }

RtfDocument ReadRtf(std::string_view rtf) { return Reader(rtf).Read(); }

std::string Windows1252ToUtf8(unsigned char byte) {
    std::string out;
    AppendUtf8(out, FromCp1252(byte));
    return out;
}

namespace qt {

namespace {

// Twips to pixels at 96 DPI.
qreal Pixels(int twips) { return twips / 15.0; }

// RTF's default tab stops, every half inch.
constexpr qreal kDefaultTabPixels = 720 / 15.0;

// Qt lays out a whole paragraph before any of it is shown, and for every
// line it fills with a word too long for a line it looks for that word's
// end: a paragraph, or a word, of a megabyte takes minutes. Words longer
// than kLongWord get a zero-width space (a break opportunity that shows
// nothing) every kWordStep characters, and a paragraph goes on in a new
// block at its first break opportunity after kLongParagraph characters.
constexpr qsizetype kLongWord = 128;
constexpr qsizetype kWordStep = 32;
constexpr qsizetype kLongParagraph = 4096;
constexpr char16_t kZeroWidthSpace = 0x200B;

// RTF measures tab stops from the paragraph's left edge, Qt from where the
// line begins; only the first line's begin is known for sure, and that is
// the one that tabs are written for (a bullet, then the text). A hanging
// first line has a stop at the left indent without one being written.
QList<QTextOption::Tab> TabStops(const RtfParagraphFormat& format) {
    std::vector<int> stops = format.tabStops;
    if (format.firstIndent < 0) stops.push_back(format.leftIndent);
    std::sort(stops.begin(), stops.end());
    const int lineStart = format.leftIndent + format.firstIndent;
    QList<QTextOption::Tab> tabs;
    for (const int stop : stops) {
        if (stop <= lineStart || (!tabs.isEmpty() && Pixels(stop - lineStart) == tabs.back().position)) continue;
        tabs.append(QTextOption::Tab(Pixels(stop - lineStart), QTextOption::LeftTab));
    }
    return tabs;
}

QTextBlockFormat BlockFormat(const RtfParagraphFormat& format) {
    QTextBlockFormat block;
    switch (format.alignment) {
        case RtfAlignment::Left: block.setAlignment(Qt::AlignLeft); break;
        case RtfAlignment::Center: block.setAlignment(Qt::AlignHCenter); break;
        case RtfAlignment::Right: block.setAlignment(Qt::AlignRight); break;
        case RtfAlignment::Justify: block.setAlignment(Qt::AlignJustify); break;
    }
    // A hanging first line needs the room of the left indent.
    block.setLeftMargin(std::max(0.0, Pixels(format.leftIndent)));
    block.setRightMargin(std::max(0.0, Pixels(format.rightIndent)));
    block.setTextIndent(Pixels(format.firstIndent));
    block.setTopMargin(Pixels(format.spaceBefore));
    block.setBottomMargin(Pixels(format.spaceAfter));
    block.setTabPositions(TabStops(format));
    return block;
}

QTextCharFormat CharFormat(const RtfCharFormat& format) {
    QTextCharFormat chars;
    chars.setFontWeight(format.bold ? QFont::Bold : QFont::Normal);
    chars.setFontItalic(format.italic);
    chars.setFontUnderline(format.underline);
    chars.setFontStrikeOut(format.strike);
    if (format.halfPoints > 0) chars.setFontPointSize(format.halfPoints / 2.0);
    if (format.hasColor) chars.setForeground(QColor(QRgb(format.color)));
    return chars;
}

QString FromUtf8(const std::string& text) {
    QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    s.replace(QLatin1Char('\n'), QChar(QChar::LineSeparator));
    return s;
}

// Writes one paragraph's text at the cursor, in the blocks and with the
// break opportunities that keep its layout short (see kLongWord). Line and
// paragraph ends in the text ('\n', '\r', U+2029) start blocks as
// QTextCursor::insertText makes them.
class ParagraphWriter {
public:
    // The first paragraph takes the document's first block.
    ParagraphWriter(QTextCursor& cursor, const RtfParagraphFormat& format, bool first) : cursor_(cursor) {
        RtfParagraphFormat goingOn = format;
        goingOn.firstIndent = 0;
        goingOn.spaceBefore = 0;
        continued_ = BlockFormat(goingOn);
        if (first) cursor_.setBlockFormat(BlockFormat(format));
        else cursor_.insertBlock(BlockFormat(format), QTextCharFormat());
    }

    void Write(const QString& text, const QTextCharFormat& format) {
        QString piece;
        piece.reserve(text.size());
        for (const QChar c : text) {
            if (c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator) {
                piece += c;
                word_ = 0;
                length_ = 0;
                continue;
            }
            const bool lineBreak = c == QChar::LineSeparator;
            const bool space = lineBreak || c == u' ' || c == u'\t';
            // Never between the halves of a surrogate pair, nor before a
            // combining mark.
            if (!space && word_ >= kLongWord && !c.isLowSurrogate() && !c.isMark()) {
                piece += QChar(kZeroWidthSpace);
                word_ = kLongWord - kWordStep;
                if (++length_ >= kLongParagraph) GoOn(piece, format);
            }
            if (space) {
                word_ = 0;
                // A new block breaks the line by itself.
                if (++length_ >= kLongParagraph) {
                    if (!lineBreak) piece += c;
                    GoOn(piece, format);
                    continue;
                }
            } else {
                ++word_;
                ++length_;
            }
            piece += c;
        }
        cursor_.insertText(piece, format);
    }

private:
    // Ends the block with the text so far; the paragraph goes on in the next
    // one without space between them.
    void GoOn(QString& piece, const QTextCharFormat& format) {
        cursor_.insertText(piece, format);
        piece.clear();
        QTextBlockFormat ending = cursor_.blockFormat();
        ending.setBottomMargin(0);
        cursor_.setBlockFormat(ending);
        cursor_.insertBlock(continued_, QTextCharFormat());
        length_ = 0;
    }

    QTextCursor& cursor_;
    QTextBlockFormat continued_;
    qsizetype word_ = 0;
    qsizetype length_ = 0;
};

}  // namespace

QString DecodePlainText(std::string_view text) {
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString decoded = utf8(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    if (!utf8.hasError()) return decoded;
    // Not UTF-8: the notes were written on Windows.
    decoded.clear();
    for (const char c : text) decoded += QString::fromStdString(Windows1252ToUtf8(static_cast<unsigned char>(c)));
    return decoded;
}

// Each is one edit: the document is laid out once, at its end, rather than
// after every run (which costs the square of the runs in a long paragraph).
void FillTextDocument(QTextDocument& document, const RtfDocument& rtf) {
    document.clear();
    QTextOption option = document.defaultTextOption();
    option.setTabStopDistance(kDefaultTabPixels);
    document.setDefaultTextOption(option);
    QTextCursor cursor(&document);
    cursor.beginEditBlock();
    bool first = true;
    for (const RtfParagraph& paragraph : rtf.paragraphs) {
        ParagraphWriter writer(cursor, paragraph.format, first);
        first = false;
        for (const RtfRun& run : paragraph.runs) writer.Write(FromUtf8(run.text), CharFormat(run.format));
    }
    cursor.endEditBlock();
}

void FillPlainText(QTextDocument& document, const QString& text) {
    document.clear();
    QTextCursor cursor(&document);
    cursor.beginEditBlock();
    ParagraphWriter(cursor, RtfParagraphFormat{}, true).Write(text, QTextCharFormat());
    cursor.endEditBlock();
}

QString ShownText(const QTextDocument& document) {
    QString text = document.toPlainText();
    text.remove(QChar(kZeroWidthSpace));
    return text;
}

void LoadRichText(QTextDocument& document, std::string_view text) {
    if (IsRtf(text)) {
        FillTextDocument(document, ReadRtf(text));
        return;
    }
    FillPlainText(document, DecodePlainText(text));
}

}  // namespace qt
}  // namespace rl
