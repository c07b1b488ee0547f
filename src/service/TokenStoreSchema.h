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

// Items of any other service origin (a development or test service): the same two attributes
// plus the origin, under a schema name of their own. libsecret matches the schema name too, so
// the released service's lookup never finds them, and theirs never finds its item.
inline constexpr const char *originName = "ru.tolvex.AccessToken.Origin";
inline constexpr const char *originAttribute = "origin";

// Two string attributes, matched together with the schema name.
const SecretSchema *schema();
// Three string attributes, matched together with originName.
const SecretSchema *originSchema();

} // namespace TokenStoreSchema
