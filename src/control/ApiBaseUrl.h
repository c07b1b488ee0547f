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

// Which keyring item holds the token for this address: empty for the build's own address,
// otherwise its origin ("http://127.0.0.1:8765"), so that a development service never sees
// the released service's token.
[[nodiscard]] QString tokenOrigin(const QString &baseUrl, const QString &builtIn);
[[nodiscard]] QString tokenOrigin(const QString &baseUrl);

} // namespace ApiBaseUrl
