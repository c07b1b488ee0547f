#pragma once
// The service's command line.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

struct CommandLine {
    // A wrong option or value; the text says which, in Russian.
    class UsageError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    static constexpr int kDefaultPort = 8765;

    int port = kDefaultPort; // 0: any free port
    std::filesystem::path dataFolder;
    std::chrono::seconds nonceLifetime{300};
    std::uint64_t maxUpload = 1024ull * 1024 * 1024;
    int autoConfirmAfterPolls = 0; // 0: only the confirmation page confirms
    bool help = false;

    // Throws UsageError.
    [[nodiscard]] static CommandLine parse(const std::vector<std::string> &arguments);
    [[nodiscard]] static std::string usage();
    // $XDG_DATA_HOME/tolvex-devservice, or ~/.local/share/tolvex-devservice.
    [[nodiscard]] static std::filesystem::path defaultDataFolder();
};
