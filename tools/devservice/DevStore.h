#pragma once
// Everything the reference service knows: users, sign-in attempts, tokens and meetings.
//
// Users, tokens and meetings live in "state.json" in the data folder and are written through
// AtomicFile on every change, so they survive a restart or a crash. Sign-in attempts live in
// memory only: they are minutes long, are dropped once expired, and at most kMaxLogins are held,
// so a loop of sign-in starts cannot grow the table. Tokens are kept only as their SHA-256
// hash. All methods may be called from several request threads at once.

#include "Waveform.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct DevUser {
    std::int64_t id = 0;
    std::string firstName;
};

struct MeetingAudio {
    std::uint64_t size = 0;
    std::int64_t uploadedAt = 0; // seconds since the epoch
    Waveform waveform;
};

struct Meeting {
    std::int64_t id = 0;
    std::int64_t userId = 0;
    std::int64_t createdAt = 0; // seconds since the epoch
    std::optional<MeetingAudio> audio;
};

class DevStore {
public:
    // The state file is damaged or unreadable; the service refuses to start rather than
    // overwrite what it cannot read.
    class LoadError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    enum class PollOutcome { unknown, expired, pending, ok };
    struct PollResult {
        PollOutcome outcome = PollOutcome::unknown;
        std::string token; // set only with `ok`
    };
    // `ok`: confirmed now (confirmLogin) or still open for confirmation (loginState).
    enum class ConfirmOutcome { ok, unknown, expired, alreadyConfirmed };

    static constexpr const char *kDefaultFirstName = "Демо";
    static constexpr std::size_t kMaxLogins = 1000;

    // Creates the folder if needed and reads its state; throws LoadError or std::system_error.
    explicit DevStore(std::filesystem::path folder);

    [[nodiscard]] const std::filesystem::path &folder() const noexcept { return m_folder; }
    [[nodiscard]] std::filesystem::path stateFile() const;
    [[nodiscard]] std::filesystem::path audioFolder() const;
    [[nodiscard]] std::filesystem::path audioPath(std::int64_t meetingId) const;

    // A new random nonce that expires after `lifetime`; nothing while kMaxLogins attempts are
    // open. A full table refuses newcomers rather than drop an attempt someone is confirming.
    [[nodiscard]] std::optional<std::string> startLogin(std::chrono::seconds lifetime);
    // How many sign-in attempts are held; for the tests.
    [[nodiscard]] std::size_t loginsHeld() const;
    // With `autoConfirmAfter` > 0 a pending nonce confirms itself for the default user on that
    // many polls. A nonce hands out its token once; later polls find it expired.
    [[nodiscard]] PollResult pollLogin(const std::string &nonce, int autoConfirmAfter);
    // Confirms the sign-in for the user with this first name, made on first use.
    [[nodiscard]] ConfirmOutcome confirmLogin(const std::string &nonce,
                                              const std::string &firstName);
    // Whether the nonce can still be confirmed, without confirming it.
    [[nodiscard]] ConfirmOutcome loginState(const std::string &nonce) const;

    [[nodiscard]] std::optional<DevUser> userForToken(const std::string &token) const;
    [[nodiscard]] std::optional<DevUser> user(std::int64_t id) const;

    Meeting createMeeting(std::int64_t userId);
    [[nodiscard]] std::optional<Meeting> meeting(std::int64_t id) const;
    // Newest first.
    [[nodiscard]] std::vector<Meeting> meetings() const;
    // Records that the meeting's audio file (already at audioPath()) has been replaced.
    void setAudio(std::int64_t meetingId, MeetingAudio audio);

private:
    struct State {
        std::int64_t nextUserId = 1;
        std::int64_t nextMeetingId = 1;
        std::vector<DevUser> users;
        std::map<std::string, std::int64_t> tokenHashes; // SHA-256 of the token -> user id
        std::vector<Meeting> meetings;
    };

    enum class LoginStage { pending, confirmed, used };
    struct Login {
        std::chrono::steady_clock::time_point expiresAt;
        LoginStage stage = LoginStage::pending;
        std::int64_t userId = 0;
        int polls = 0;
    };

    void load();
    // Writes `next` to disk and only then makes it the current state, so a failed write
    // changes nothing.
    void commit(State next);
    static std::int64_t userIdFor(State &state, const std::string &firstName);
    void forgetExpiredLogins(std::chrono::steady_clock::time_point now);

    std::filesystem::path m_folder;
    mutable std::mutex m_mutex;
    State m_state;
    std::map<std::string, Login> m_logins;
};
