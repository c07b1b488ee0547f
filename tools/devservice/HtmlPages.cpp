#include "HtmlPages.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

constexpr std::string_view kStyle = R"(<style>
body { font-family: system-ui, sans-serif; margin: 2rem auto; max-width: 48rem; padding: 0 1rem;
       color: #1f2937; background: #f8fafc; }
h1 { font-size: 1.5rem; }
.meeting { background: #fff; border: 1px solid #e2e8f0; border-radius: 0.75rem;
           padding: 1rem 1.25rem; margin: 1rem 0; }
.meeting h2 { font-size: 1.1rem; margin: 0 0 0.25rem; }
.meta { color: #64748b; font-size: 0.9rem; }
.waveform { display: block; width: 100%; height: 4rem; margin: 0.75rem 0; background: #f1f5f9;
            border-radius: 0.5rem; }
audio { width: 100%; }
button { font-size: 1.1rem; padding: 0.6rem 1.4rem; border-radius: 0.6rem; border: none;
         background: #229ed9; color: #fff; cursor: pointer; }
input[type=text] { font-size: 1rem; padding: 0.4rem; margin: 0 0 1rem; }
</style>)";

std::string document(std::string_view title, const std::string &body) {
    std::string html = "<!DOCTYPE html>\n<html lang=\"ru\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                       "<title>";
    html += HtmlPages::escape(title);
    html += "</title>\n";
    html += kStyle;
    html += "\n</head>\n<body>\n";
    html += body;
    html += "</body>\n</html>\n";
    return html;
}

std::string formatSize(std::uint64_t bytes) {
    char text[64];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%llu Б", static_cast<unsigned long long>(bytes));
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f КиБ", static_cast<double>(bytes) / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.1f МиБ", static_cast<double>(bytes) / 1048576.0);
    return text;
}

} // namespace

std::string HtmlPages::escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string HtmlPages::formatDuration(double seconds) {
    const auto total = static_cast<long long>(std::llround(std::max(seconds, 0.0)));
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}

std::string HtmlPages::formatTime(std::int64_t secondsSinceEpoch) {
    const auto time = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm local{};
    localtime_r(&time, &local);
    char text[32];
    std::strftime(text, sizeof text, "%d.%m.%Y %H:%M:%S", &local);
    return text;
}

std::string HtmlPages::meetingsPage(const std::vector<Listed> &meetings,
                                    std::string_view audioQuery) {
    std::string body = "<h1>Встречи</h1>\n";
    if (meetings.empty())
        body += "<p class=\"meta\">Пока ни одной встречи.</p>\n";
    for (const Listed &listed : meetings) {
        const Meeting &m = listed.meeting;
        const std::string id = std::to_string(m.id);
        body += "<section class=\"meeting\" id=\"meeting-" + id + "\">\n";
        body += "<h2>Встреча №" + id + "</h2>\n";
        body += "<div class=\"meta\">Создана " + escape(formatTime(m.createdAt)) + " · " +
                escape(listed.ownerName) + "</div>\n";
        if (m.audio) {
            body += "<div class=\"meta\">Длительность " +
                    escape(formatDuration(m.audio->waveform.durationSeconds())) + " · " +
                    escape(formatSize(m.audio->size)) + " · загружена " +
                    escape(formatTime(m.audio->uploadedAt)) + "</div>\n";
            body += m.audio->waveform.toSvg() + "\n";
            body += "<audio controls preload=\"none\" src=\"/meetings/" + id + "/audio.m4a" +
                    escape(audioQuery) + "\"></audio>\n";
        } else {
            body += "<p class=\"meta\">Запись ещё не загружена.</p>\n";
        }
        body += "</section>\n";
    }
    return document("Встречи — Толвекс", body);
}

std::string HtmlPages::confirmPage(std::string_view nonce) {
    std::string body = "<h1>Вход в Толвекс</h1>\n"
                       "<p>Приложение просит войти. Подтвердите вход, если это вы.</p>\n"
                       "<form method=\"post\" action=\"/bot/confirm\">\n"
                       "<input type=\"hidden\" name=\"nonce\" value=\"";
    body += escape(nonce);
    body += "\">\n<label>Имя: <input type=\"text\" name=\"first_name\" value=\"";
    body += escape(DevStore::kDefaultFirstName);
    body += "\" maxlength=\"64\"></label><br>\n"
            "<button type=\"submit\">Подтвердить вход</button>\n</form>\n";
    return document("Вход в Толвекс", body);
}

std::string HtmlPages::confirmedPage(std::string_view firstName) {
    std::string body = "<h1>Вход подтверждён</h1>\n<p>";
    body += escape(firstName);
    body += ", вход подтверждён. Вернитесь в приложение Толвекс: вход завершится в течение "
            "нескольких секунд.</p>\n";
    return document("Вход подтверждён", body);
}

std::string HtmlPages::messagePage(std::string_view title, std::string_view text) {
    std::string body = "<h1>" + escape(title) + "</h1>\n<p>" + escape(text) + "</p>\n";
    return document(title, body);
}
