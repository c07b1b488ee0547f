// Any text gives either nothing or a well-formed "tg://resolve" link whose "domain" is the first
// path segment of a link to the Telegram host, and whose "start", if any, is a "start" value of
// that link; the link survives being written out and read back, as the desktop hands it on.

#include "FuzzCheck.h"
#include "TelegramAppUrl.h"

#include <QString>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<QUrl> link = telegramAppURL(text);
    if (!link)
        return 0;

    const QUrl source(text, QUrl::StrictMode);
    FUZZ_CHECK(source.isValid() && source.host() == QStringLiteral("t.me"),
               "a link made from a text that is no Telegram link");
    FUZZ_CHECK(text.contains(QStringLiteral("t.me")), "the host is not in the text as written");

    FUZZ_CHECK(link->isValid(), "invalid result");
    FUZZ_CHECK(link->scheme() == QStringLiteral("tg") && link->host() == QStringLiteral("resolve"),
               "not a tg://resolve link");
    FUZZ_CHECK(link->path().isEmpty() && !link->hasFragment() && link->userInfo().isEmpty() &&
                   link->port() == -1,
               "the result carries more than its query");

    const QUrlQuery query(*link);
    const auto items = query.queryItems(QUrl::FullyDecoded);
    FUZZ_CHECK(!items.isEmpty() && items.size() <= 2, "wrong number of query items");
    FUZZ_CHECK(items[0].first == QStringLiteral("domain"), "the first item is not \"domain\"");

    const QStringList segments = source.path(QUrl::FullyDecoded).split(u'/', Qt::SkipEmptyParts);
    FUZZ_CHECK(!segments.isEmpty(), "a link from a path without a segment");
    FUZZ_CHECK(items[0].second == segments.first(), "\"domain\" is not the first path segment");

    if (items.size() == 2) {
        FUZZ_CHECK(items[1].first == QStringLiteral("start"), "the second item is not \"start\"");
        const QStringList starts =
            QUrlQuery(source).allQueryItemValues(QStringLiteral("start"), QUrl::FullyDecoded);
        FUZZ_CHECK(!starts.isEmpty() && items[1].second == starts.first(),
                   "\"start\" is not the link's first \"start\" value");
    } else {
        // No "start" item, or a first one without "=".
        const QString query = source.query(QUrl::FullyEncoded);
        FUZZ_CHECK(!QUrlQuery(source).hasQueryItem(QStringLiteral("start")) ||
                       query.startsWith(QStringLiteral("start&")) || query == u"start" ||
                       query.contains(QStringLiteral("&start&")) ||
                       query.endsWith(QStringLiteral("&start")),
                   "a valued \"start\" was dropped");
    }

    // Compared as text: QUrl's == also compares how each part happens to be held inside.
    const QString written = link->toString(QUrl::FullyEncoded);
    const QUrl reread(written, QUrl::StrictMode);
    FUZZ_CHECK(reread.isValid() && reread.toString(QUrl::FullyEncoded) == written,
               "the link does not survive being written out");
    FUZZ_CHECK(QUrlQuery(reread).queryItems(QUrl::FullyDecoded) == items,
               "the query items change when the link is read back");
    return 0;
}
