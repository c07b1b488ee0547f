#include "TelegramAppUrl.h"

#include <QStringList>
#include <QUrlQuery>

namespace {

// QUrl lower-cases the host, but the comparison is with the host exactly as written.
QString hostAsWritten(const QString &text) {
    const qsizetype schemeEnd = text.indexOf(u"://");
    if (schemeEnd < 0) {
        return {};
    }
    const qsizetype start = schemeEnd + 3;
    qsizetype end = start;
    while (end < text.size() && text[end] != u'/' && text[end] != u'?' && text[end] != u'#') {
        ++end;
    }
    QString authority = text.mid(start, end - start);
    const qsizetype at = authority.lastIndexOf(u'@');
    if (at >= 0) {
        authority = authority.mid(at + 1);
    }
    const qsizetype colon = authority.lastIndexOf(u':');
    if (colon >= 0 && !authority.contains(u']')) {
        authority.truncate(colon);
    }
    return authority;
}

// The value of the first query item named "start", if that item has one ("start" alone has
// none; "start=" has an empty one).
std::optional<QString> firstStartValue(const QUrl &url) {
    if (!url.hasQuery()) {
        return std::nullopt;
    }
    for (const QString &item : url.query(QUrl::FullyEncoded).split(u'&')) {
        const qsizetype equals = item.indexOf(u'=');
        const QString name = QUrl::fromPercentEncoding(item.left(equals).toUtf8());
        if (name != u"start") {
            continue;
        }
        if (equals < 0) {
            return std::nullopt;
        }
        return QUrl::fromPercentEncoding(item.mid(equals + 1).toUtf8());
    }
    return std::nullopt;
}

// QUrlQuery takes "%" in a value as the start of an escape; a decoded value must keep it.
QString forQueryItem(QString value) {
    return value.replace(u'%', QStringLiteral("%25"));
}

} // namespace

std::optional<QUrl> telegramAppURL(const QString &from) {
    const QUrl url(from, QUrl::StrictMode);
    if (!url.isValid() || url.host() != telegramLinkHost ||
        hostAsWritten(from) != telegramLinkHost) {
        return std::nullopt;
    }
    const QStringList segments = url.path(QUrl::FullyDecoded).split(u'/', Qt::SkipEmptyParts);
    if (segments.isEmpty()) {
        return std::nullopt;
    }

    QUrlQuery query;
    query.addQueryItem(QStringLiteral("domain"), forQueryItem(segments.first()));
    if (const std::optional<QString> start = firstStartValue(url)) {
        query.addQueryItem(QStringLiteral("start"), forQueryItem(*start));
    }
    QUrl result;
    result.setScheme(QStringLiteral("tg"));
    result.setHost(QStringLiteral("resolve"));
    result.setQuery(query);
    return result;
}
