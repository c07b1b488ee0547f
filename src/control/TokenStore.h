#pragma once
// Where the view model keeps the access token between launches.

#include <QCoroTask>
#include <QString>

#include <optional>

class TokenStore {
public:
    virtual ~TokenStore() = default;

    // None of these reports a failure: an unreadable store simply holds no token. Each may take
    // long (a keyring asking to be unlocked, or not answering at all) without holding up the
    // caller's thread, and they take effect in the order they are called.
    [[nodiscard]] virtual QCoro::Task<std::optional<QString>> load() = 0;
    virtual QCoro::Task<> save(QString token) = 0;
    virtual QCoro::Task<> remove() = 0;
};
