#include "services/scriptcall.h"

#include <string>

namespace scriptcall {

namespace {

void appendUnicodeEscape(QString &out, char16_t unit)
{
    static constexpr char16_t digits[] = u"0123456789abcdef";
    out += u"\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += QChar(digits[(unit >> shift) & 0xf]);
}

} // namespace

QString stringLiteral(const QString &text, char16_t quote)
{
    QString out;
    out.reserve(text.size() + 2);
    out += QChar(quote);
    // Characters with a short escape of their own, and the letter after the backslash.
    static constexpr char16_t named[] = u"\\\n\r\t";
    static constexpr char16_t letters[] = u"\\nrt";
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        const char16_t *at = std::char_traits<char16_t>::find(named, 4, unit);
        if (unit == quote || at) {
            out += u'\\';
            out += at ? QChar(letters[at - named]) : c;
        } else if (unit < 0x20 || unit == 0x7f || unit == 0x2028 || unit == 0x2029 ||
                   c.isSurrogate()) {
            // Control characters, the two line terminators that older script engines reject
            // inside literals, and every surrogate: escaped as code units, surrogates survive
            // even when unpaired.
            appendUnicodeEscape(out, unit);
        } else {
            out += c;
        }
    }
    out += QChar(quote);
    return out;
}

QString handleQueryDns(const QString &address, const QString &hostName)
{
    return u"HandleQueryDns(" + stringLiteral(address) + u',' + stringLiteral(hostName) + u')';
}

} // namespace scriptcall
