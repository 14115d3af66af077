#include "weblink.h"

bool isWebLink(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

bool isWebLink(const QString &text)
{
    return isWebLink(QUrl(text.trimmed()));
}
