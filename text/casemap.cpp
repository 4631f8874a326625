#include "casemap.h"

#include <QString>
#include <QStringDecoder>

#include <algorithm>

namespace jf {

namespace {

// Length of the valid UTF-8 sequence that starts at text[i], or 0 when the byte there starts none.
std::size_t validSequenceLength(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80)
        return 1;
    std::size_t length = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2, code = b0 & 0x1F, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3, code = b0 & 0x0F, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4, code = b0 & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

template <typename AsciiMap, typename UnicodeMap>
std::string mapCase(std::string_view text, AsciiMap ascii, UnicodeMap unicode)
{
    std::string result;
    result.reserve(text.size());
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        for (char c : text)
            result.push_back(ascii(c));
        return result;
    }
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t runEnd = i;
        while (runEnd < text.size()) {
            const std::size_t length = validSequenceLength(text, runEnd);
            if (length == 0)
                break;
            runEnd += length;
        }
        if (runEnd > i) {
            // QString::fromUtf8 would drop a zero-width no-break space that starts the run, taking
            // it for a byte order mark: in a name it is a character like any other.
            QStringDecoder decode(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
            const QString run = decode(QByteArrayView(text.data() + i, static_cast<qsizetype>(runEnd - i)));
            const QByteArray mapped = unicode(run).toUtf8();
            result.append(mapped.constData(), static_cast<std::size_t>(mapped.size()));
            i = runEnd;
        } else {
            result.push_back(text[i++]);
        }
    }
    return result;
}

} // namespace

std::string toUpperText(std::string_view text)
{
    return mapCase(
        text, [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; },
        [](const QString& s) { return s.toUpper(); });
}

std::string toLowerText(std::string_view text)
{
    return mapCase(
        text, [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; },
        [](const QString& s) { return s.toLower(); });
}

bool equalIgnoringCase(std::string_view a, std::string_view b)
{
    return a == b || toUpperText(a) == toUpperText(b);
}

std::string_view trimBlanks(std::string_view text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

} // namespace jf
