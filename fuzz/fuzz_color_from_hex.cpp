// Any string gives an opaque colour whose red, green and blue are bits 16-23, 8-15 and 0-7 of
// the hexadecimal number the C library's strtoull reads from the string with the letters-and-
// digits trimmed from both ends (saturating on overflow). The input is tried both as UTF-8
// and as raw UTF-16, so that lone surrogates and every plane reach the trimming.

#include "FuzzCheck.h"
#include "ScreenLogic.h"

#include <QChar>
#include <QColor>
#include <QString>
#include <QStringView>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The code point starting at `at` and its length in UTF-16 units; a lone surrogate is itself.
std::pair<char32_t, qsizetype> codePointAt(QStringView text, qsizetype at) {
    const QChar c = text[at];
    if (c.isHighSurrogate() && at + 1 < text.size() && text[at + 1].isLowSurrogate())
        return {QChar::surrogateToUcs4(c, text[at + 1]), 2};
    return {c.unicode(), 1};
}

std::pair<char32_t, qsizetype> codePointBefore(QStringView text, qsizetype end) {
    const QChar c = text[end - 1];
    if (c.isLowSurrogate() && end >= 2 && text[end - 2].isHighSurrogate())
        return {QChar::surrogateToUcs4(text[end - 2], c), 2};
    return {c.unicode(), 1};
}

bool kept(char32_t c) {
    const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
    return !surrogate && (QChar::isLetterOrNumber(c) || QChar::isMark(c));
}

std::uint64_t expectedValue(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end) {
        const auto [c, length] = codePointAt(text, begin);
        if (kept(c))
            break;
        begin += length;
    }
    while (end > begin) {
        const auto [c, length] = codePointBefore(text, end);
        if (kept(c))
            break;
        end -= length;
    }
    // Lone surrogates become U+FFFD here: no hex digit either way.
    const std::string middle = text.mid(begin, end - begin).toUtf8().toStdString();
    errno = 0;
    return std::strtoull(middle.c_str(), nullptr, 16);
}

void check(QStringView text) {
    const QColor colour = ScreenLogic::colorFromHex(text);
    const std::uint64_t value = expectedValue(text);
    FUZZ_CHECK(colour.isValid() && colour.spec() == QColor::Rgb, "not an RGB colour");
    FUZZ_CHECK(colour.alpha() == 255, "not opaque");
    FUZZ_CHECK(static_cast<std::uint64_t>(colour.red()) == ((value >> 16) & 0xff), "wrong red");
    FUZZ_CHECK(static_cast<std::uint64_t>(colour.green()) == ((value >> 8) & 0xff), "wrong green");
    FUZZ_CHECK(static_cast<std::uint64_t>(colour.blue()) == (value & 0xff), "wrong blue");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    check(QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));
    // Raw UTF-16 units; an odd last byte is left out.
    std::u16string units(size / 2, u'\0');
    std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
    check(QStringView(units));
    return 0;
}
