#pragma once
// Turns the bot's web link into a link that the Telegram application opens directly.

#include <QString>
#include <QUrl>

#include <optional>

// Host of Telegram's public web links; compared character for character.
inline constexpr char16_t telegramLinkHost[] = u"t.me";

// "https://t.me/<bot>?start=<value>" gives "tg://resolve?domain=<bot>&start=<value>";
// "start" comes only from the first item of that name, and only when it has a value.
// Any other text gives nothing.
[[nodiscard]] std::optional<QUrl> telegramAppURL(const QString &from);
