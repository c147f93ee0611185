#include "console/desktoplink.h"

#include <QUrlQuery>

namespace desktoplink {

bool isOpenable(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() &&
           (scheme == u"http" || scheme == u"https" || scheme == u"mailto" || scheme == u"tel");
}

QUrl withoutAttachments(const QUrl &url)
{
    if (url.scheme().compare(u"mailto", Qt::CaseInsensitive) != 0 || !url.hasQuery())
        return url;
    QStringList kept;
    const auto items = QUrlQuery(url).queryItems(QUrl::FullyEncoded);
    for (const auto &[key, value] : items) {
        const QString name = QUrl::fromPercentEncoding(key.toUtf8());
        if (name.compare(u"attach", Qt::CaseInsensitive) != 0 &&
            name.compare(u"attachment", Qt::CaseInsensitive) != 0)
            kept.append(value.isEmpty() ? key : key + u'=' + value);
    }
    if (kept.size() == items.size())
        return url;
    QUrl cleaned = url;
    cleaned.setQuery(kept.isEmpty() ? QString() : kept.join(u'&'));
    return cleaned;
}

} // namespace desktoplink
