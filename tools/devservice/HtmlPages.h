#pragma once
// The service's HTML pages, all Russian: the meetings list and the confirmation page that
// stands in for the Telegram bot. Every text that comes from outside is escaped.

#include "DevStore.h"

#include <string>
#include <string_view>
#include <vector>

class HtmlPages {
public:
    struct Listed {
        Meeting meeting;
        std::string ownerName;
    };

    // Text made safe for element content and quoted attribute values.
    [[nodiscard]] static std::string escape(std::string_view text);

    // `audioQuery` follows each recording's link (the page's key, or nothing).
    [[nodiscard]] static std::string meetingsPage(const std::vector<Listed> &meetings,
                                                  std::string_view audioQuery);
    // The "bot": a button that confirms the sign-in with this nonce.
    [[nodiscard]] static std::string confirmPage(std::string_view nonce);
    [[nodiscard]] static std::string confirmedPage(std::string_view firstName);
    // A page that explains why the sign-in cannot be confirmed.
    [[nodiscard]] static std::string messagePage(std::string_view title, std::string_view text);

    // "12:05" or "1:02:03".
    [[nodiscard]] static std::string formatDuration(double seconds);
    // Local time "dd.mm.yyyy hh:mm:ss".
    [[nodiscard]] static std::string formatTime(std::int64_t secondsSinceEpoch);
};
