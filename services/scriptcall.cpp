#include "services/scriptcall.h"

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
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        if (unit == quote) {
            out += u'\\';
            out += c;
            continue;
        }
        switch (unit) {
        case u'\\':
            out += u"\\\\";
            break;
        case u'\n':
            out += u"\\n";
            break;
        case u'\r':
            out += u"\\r";
            break;
        case u'\t':
            out += u"\\t";
            break;
        default:
            // Control characters, the two line terminators that older script
            // engines reject inside literals, and every surrogate: escaped as
            // code units, surrogates survive even when unpaired.
            if (unit < 0x20 || unit == 0x7f || unit == 0x2028 || unit == 0x2029 || c.isSurrogate())
                appendUnicodeEscape(out, unit);
            else
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
