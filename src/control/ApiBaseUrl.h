#pragma once
// Which service address the program talks to: the built-in one, or a loopback one for tests.

#include <QString>

#include <optional>

namespace ApiBaseUrl {

// The address this build uses: the built-in constant, or, when the build allows development
// overrides, the environment variable TOLVEX_API_BASE_URL if it names a loopback host.
[[nodiscard]] QString fromBuild();

// The override when overrides are allowed and it is an http(s) URL on a loopback host;
// otherwise the built-in address. Anything else is ignored rather than reported.
[[nodiscard]] QString choose(const QString &builtIn, bool overridesAllowed,
                             const std::optional<QString> &overrideText);

[[nodiscard]] bool isLoopbackUrl(const QString &text);

// The address of the released service. Its token lives in the keyring's original item.
inline constexpr char releasedBaseUrl[] = "https://tolvex.ru/api";

// Which keyring item holds the token for this address: empty for the released address only,
// otherwise its origin ("http://127.0.0.1:8765"), so that a development or staging service, or
// a build made with another address, never sees the released service's token.
[[nodiscard]] QString tokenOrigin(const QString &baseUrl);

} // namespace ApiBaseUrl
