// Script texts that the program evaluates in the console page.
#pragma once

#include <QString>

namespace scriptcall {

// A script string literal that evaluates to exactly the given text, whatever
// quotes, backslashes, line terminators or non-ASCII characters it holds. With
// the double quote it is also a JSON string that keeps even lone surrogates.
QString stringLiteral(const QString &text, char16_t quote = u'\'');

// The call that delivers a reverse look-up result to the page:
// HandleQueryDns(<address>,<hostName>) with both as string literals.
QString handleQueryDns(const QString &address, const QString &hostName);

} // namespace scriptcall
