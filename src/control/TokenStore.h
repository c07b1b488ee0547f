#pragma once
// Where the view model keeps the access token between launches.

#include <QString>

#include <optional>

class TokenStore {
public:
    virtual ~TokenStore() = default;

    // None of these reports a failure: an unreadable store simply holds no token.
    [[nodiscard]] virtual std::optional<QString> load() = 0;
    virtual void save(const QString &token) = 0;
    virtual void remove() = 0;
};
