#pragma once
// Identity of the keyring item that holds the access token.

// glib names a struct field "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

namespace TokenStoreSchema {

inline constexpr const char *name = "ru.tolvex.AccessToken";
inline constexpr const char *serviceAttribute = "service";
inline constexpr const char *accountAttribute = "account";
inline constexpr const char *service = "Толвекс";
inline constexpr const char *account = "Авторизация Telegram";
inline constexpr const char *label = "Толвекс: Авторизация Telegram";

// Two string attributes, matched together with the schema name.
const SecretSchema *schema();

} // namespace TokenStoreSchema
