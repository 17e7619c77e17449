#include "base/PrintableText.h"

#include <cstdint>

namespace skyvane {

namespace {

void AppendEscaped(std::string& out, unsigned char byte)
{
    constexpr char Hex[] = "0123456789ABCDEF";
    out += "\\x";
    out += Hex[byte >> 4];
    out += Hex[byte & 0x0F];
}

// Length of the well-formed UTF-8 sequence at text[i] (2 to 4), or 0. Overlong forms,
// surrogates and values above U+10FFFF are not well-formed.
std::size_t Utf8Length(std::string_view text, std::size_t i, std::uint32_t& codePoint)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1Fu;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0Fu;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07u;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3Fu);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

std::string PrintableText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        std::uint32_t codePoint = 0;
        const std::size_t length = c >= 0x80 ? Utf8Length(text, i, codePoint) : 0;
        if (length == 0 || codePoint < 0xA0) { // C0, DEL, C1, or not UTF-8
            AppendEscaped(out, c);
            ++i;
            continue;
        }
        out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

std::string PrintableLines(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (;;) {
        const std::size_t end = text.find('\n');
        out += PrintableText(text.substr(0, end));
        if (end == std::string_view::npos)
            return out;
        out += '\n';
        text.remove_prefix(end + 1);
    }
}

} // namespace skyvane
