#pragma once
// Only one copy of the program runs per user: a lock file in the user's runtime folder.

#include <QLockFile>
#include <QString>

class SingleInstanceLock {
public:
    enum class Outcome {
        acquired,      // this is the only copy
        heldElsewhere, // another running copy holds the lock
        unavailable,   // the lock file cannot be made at all
    };

    // The lock file "tolvex.lock" in `directory`.
    explicit SingleInstanceLock(const QString &directory);
    SingleInstanceLock(const SingleInstanceLock &) = delete;
    SingleInstanceLock &operator=(const SingleInstanceLock &) = delete;

    // The user's runtime folder ($XDG_RUNTIME_DIR), private to the user.
    [[nodiscard]] static QString defaultDirectory();

    // Takes the lock without waiting. A lock left by a copy that died is taken over. The lock
    // is held until this object goes away.
    [[nodiscard]] Outcome tryAcquire();
    [[nodiscard]] QString filePath() const { return m_path; }

private:
    QString m_path;
    QLockFile m_file;
};
