#include "CommandLine.h"

#include <charconv>
#include <cstdlib>
#include <limits>

namespace {

template <typename T> T number(const std::string &option, const std::string &text, T min, T max) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < min || value > max)
        throw CommandLine::UsageError("неверное значение " + option + ": " + text);
    return value;
}

} // namespace

CommandLine CommandLine::parse(const std::vector<std::string> &arguments) {
    CommandLine line;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string &option = arguments[i];
        if (option == "--help" || option == "-h") {
            line.help = true;
            continue;
        }
        if (i + 1 >= arguments.size())
            throw UsageError(option.starts_with("--") ? "нет значения у " + option
                                                      : "неизвестный аргумент: " + option);
        const std::string &value = arguments[++i];
        if (option == "--port") {
            line.port = number<int>(option, value, 0, 65535);
        } else if (option == "--data") {
            if (value.empty())
                throw UsageError("пустая папка данных");
            line.dataFolder = value;
        } else if (option == "--nonce-lifetime") {
            line.nonceLifetime = std::chrono::seconds(
                number<std::int64_t>(option, value, 1, std::int64_t{24} * 3600));
        } else if (option == "--max-upload") {
            line.maxUpload =
                number<std::uint64_t>(option, value, 1, std::numeric_limits<std::uint64_t>::max());
        } else if (option == "--auto-confirm-after-polls") {
            line.autoConfirmAfterPolls = number<int>(option, value, 0, 1000000);
        } else {
            throw UsageError("неизвестный параметр: " + option);
        }
    }
    if (line.dataFolder.empty())
        line.dataFolder = defaultDataFolder();
    return line;
}

std::filesystem::path CommandLine::defaultDataFolder() {
    const char *dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && *dataHome == '/')
        return std::filesystem::path(dataHome) / "tolvex-devservice";
    const char *home = std::getenv("HOME");
    if (!home || !*home)
        throw UsageError("не задан HOME: укажите папку данных через --data");
    return std::filesystem::path(home) / ".local/share/tolvex-devservice";
}

std::string CommandLine::usage() {
    return "Использование: tolvex-devservice [--port N] [--data ПАПКА] [--nonce-lifetime СЕКУНДЫ]\n"
           "                         [--max-upload БАЙТЫ] [--auto-confirm-after-polls N]\n"
           "\n"
           "Локальный сервис Толвекс для разработки: отвечает на запросы программы на\n"
           "127.0.0.1, подтверждает вход на своей странице вместо бота Telegram и показывает\n"
           "присланные записи.\n"
           "\n"
           "  --port N                     порт (по умолчанию 8765; 0 — любой свободный)\n"
           "  --data ПАПКА                 папка данных (по умолчанию\n"
           "                               $XDG_DATA_HOME/tolvex-devservice)\n"
           "  --nonce-lifetime СЕКУНДЫ     срок жизни попытки входа (по умолчанию 300)\n"
           "  --max-upload БАЙТЫ           наибольший размер загрузки (по умолчанию 1073741824)\n"
           "  --auto-confirm-after-polls N подтверждать вход само на N-м опросе (для "
           "демонстраций)\n"
           "  --help                       эта справка\n"
           "\n"
           "Первая строка вывода — адрес API, например\n"
           "Tolvex devservice: http://127.0.0.1:8765/api\n";
}
