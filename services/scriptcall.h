// Script texts that the program evaluates in the console page.
#pragma once

#include <QString>

namespace scriptcall {

// A script string literal that evaluates to exactly the given text, whatever
// quotes, backslashes, line terminators or non-ASCII characters it holds.
QString stringLiteral(const QString &text);

// The call that delivers a reverse look-up result to the page:
// HandleQueryDns(<address>,<hostName>) with both as string literals.
QString handleQueryDns(const QString &address, const QString &hostName);

} // namespace scriptcall
