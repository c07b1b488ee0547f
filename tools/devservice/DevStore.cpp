#include "DevStore.h"

#include "AtomicFile.h"
#include "Secrets.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

using nlohmann::json;

namespace {

constexpr int kStateVersion = 1;

std::int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

json waveformToJson(const Waveform &waveform) {
    return {{"duration_seconds", waveform.durationSeconds()}, {"peaks", waveform.peaks()}};
}

Waveform waveformFromJson(const json &j) {
    return Waveform(j.at("duration_seconds").get<double>(), j.at("peaks").get<std::vector<int>>());
}

} // namespace

DevStore::DevStore(std::filesystem::path folder)
    : m_folder(std::move(folder)) {
    std::filesystem::create_directories(audioFolder());
    std::filesystem::permissions(m_folder, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    // Uploads cut off by a crash or a kill leave their temporary files behind.
    for (const auto &entry : std::filesystem::directory_iterator(audioFolder())) {
        if (entry.path().filename().string().starts_with(".upload-"))
            std::filesystem::remove(entry.path());
    }
    load();
}

std::filesystem::path DevStore::stateFile() const {
    return m_folder / "state.json";
}

std::filesystem::path DevStore::audioFolder() const {
    return m_folder / "audio";
}

std::filesystem::path DevStore::audioPath(std::int64_t meetingId) const {
    return audioFolder() / (std::to_string(meetingId) + ".m4a");
}

void DevStore::load() {
    std::ifstream in(stateFile(), std::ios::binary);
    if (!in) {
        if (std::filesystem::exists(stateFile()))
            throw LoadError("cannot read " + stateFile().string());
        return;
    }
    std::stringstream text;
    text << in.rdbuf();
    State state;
    try {
        const json j = json::parse(text.str());
        if (j.at("version").get<int>() != kStateVersion)
            throw LoadError("unknown state version in " + stateFile().string());
        state.nextUserId = j.at("next_user_id").get<std::int64_t>();
        state.nextMeetingId = j.at("next_meeting_id").get<std::int64_t>();
        for (const json &u : j.at("users"))
            state.users.push_back(
                {u.at("id").get<std::int64_t>(), u.at("first_name").get<std::string>()});
        for (const json &t : j.at("tokens"))
            state.tokenHashes[t.at("sha256").get<std::string>()] =
                t.at("user_id").get<std::int64_t>();
        for (const json &m : j.at("meetings")) {
            Meeting meeting{m.at("id").get<std::int64_t>(), m.at("user_id").get<std::int64_t>(),
                            m.at("created_at").get<std::int64_t>(), std::nullopt};
            if (m.contains("audio") && !m.at("audio").is_null()) {
                const json &a = m.at("audio");
                meeting.audio = MeetingAudio{a.at("size").get<std::uint64_t>(),
                                             a.at("uploaded_at").get<std::int64_t>(),
                                             waveformFromJson(a.at("waveform"))};
            }
            state.meetings.push_back(std::move(meeting));
        }
    } catch (const json::exception &e) {
        throw LoadError(stateFile().string() + " is damaged: " + e.what());
    }
    m_state = std::move(state);
}

void DevStore::commit(State next) {
    json users = json::array();
    for (const DevUser &u : next.users)
        users.push_back({{"id", u.id}, {"first_name", u.firstName}});
    json tokens = json::array();
    for (const auto &[hash, userId] : next.tokenHashes)
        tokens.push_back({{"sha256", hash}, {"user_id", userId}});
    json meetings = json::array();
    for (const Meeting &m : next.meetings) {
        json audio = nullptr;
        if (m.audio) {
            audio = {{"size", m.audio->size},
                     {"uploaded_at", m.audio->uploadedAt},
                     {"waveform", waveformToJson(m.audio->waveform)}};
        }
        meetings.push_back(
            {{"id", m.id}, {"user_id", m.userId}, {"created_at", m.createdAt}, {"audio", audio}});
    }
    const json j = {{"version", kStateVersion},
                    {"next_user_id", next.nextUserId},
                    {"next_meeting_id", next.nextMeetingId},
                    {"users", users},
                    {"tokens", tokens},
                    {"meetings", meetings}};
    AtomicFile::write(stateFile(), j.dump(1, ' ', false, json::error_handler_t::replace) + "\n");
    m_state = std::move(next);
}

std::int64_t DevStore::userIdFor(State &state, const std::string &firstName) {
    for (const DevUser &u : state.users) {
        if (u.firstName == firstName)
            return u.id;
    }
    const std::int64_t id = state.nextUserId++;
    state.users.push_back({id, firstName});
    return id;
}

void DevStore::forgetExpiredLogins(std::chrono::steady_clock::time_point now) {
    std::erase_if(m_logins, [now](const auto &entry) { return now >= entry.second.expiresAt; });
}

std::optional<std::string> DevStore::startLogin(std::chrono::seconds lifetime) {
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(m_mutex);
    forgetExpiredLogins(now);
    if (m_logins.size() >= kMaxLogins)
        return std::nullopt;
    std::string nonce = Secrets::randomHex(16);
    m_logins[nonce] = Login{now + lifetime};
    return nonce;
}

std::size_t DevStore::loginsHeld() const {
    const std::lock_guard lock(m_mutex);
    return m_logins.size();
}

DevStore::PollResult DevStore::pollLogin(const std::string &nonce, int autoConfirmAfter) {
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(m_mutex);
    const auto it = m_logins.find(nonce);
    if (it == m_logins.end())
        return {PollOutcome::unknown, {}};
    Login &login = it->second;
    if (now >= login.expiresAt || login.stage == LoginStage::used)
        return {PollOutcome::expired, {}};
    ++login.polls;
    State next = m_state;
    std::int64_t userId = login.userId;
    if (login.stage == LoginStage::pending) {
        if (autoConfirmAfter <= 0 || login.polls < autoConfirmAfter)
            return {PollOutcome::pending, {}};
        userId = userIdFor(next, kDefaultFirstName);
    }
    std::string token = Secrets::randomHex(32);
    next.tokenHashes[Secrets::sha256Hex(token)] = userId;
    commit(std::move(next));
    login.userId = userId;
    login.stage = LoginStage::used;
    return {PollOutcome::ok, std::move(token)};
}

DevStore::ConfirmOutcome DevStore::loginState(const std::string &nonce) const {
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(m_mutex);
    const auto it = m_logins.find(nonce);
    if (it == m_logins.end())
        return ConfirmOutcome::unknown;
    if (now >= it->second.expiresAt)
        return ConfirmOutcome::expired;
    if (it->second.stage != LoginStage::pending)
        return ConfirmOutcome::alreadyConfirmed;
    return ConfirmOutcome::ok;
}

DevStore::ConfirmOutcome DevStore::confirmLogin(const std::string &nonce,
                                                const std::string &firstName) {
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(m_mutex);
    const auto it = m_logins.find(nonce);
    if (it == m_logins.end())
        return ConfirmOutcome::unknown;
    Login &login = it->second;
    if (now >= login.expiresAt)
        return ConfirmOutcome::expired;
    if (login.stage != LoginStage::pending)
        return ConfirmOutcome::alreadyConfirmed;
    State next = m_state;
    login.userId = userIdFor(next, firstName);
    commit(std::move(next));
    login.stage = LoginStage::confirmed;
    return ConfirmOutcome::ok;
}

std::optional<DevUser> DevStore::userForToken(const std::string &token) const {
    const std::string hash = Secrets::sha256Hex(token);
    const std::lock_guard lock(m_mutex);
    const auto it = m_state.tokenHashes.find(hash);
    if (it == m_state.tokenHashes.end())
        return std::nullopt;
    for (const DevUser &u : m_state.users) {
        if (u.id == it->second)
            return u;
    }
    return std::nullopt;
}

std::optional<DevUser> DevStore::user(std::int64_t id) const {
    const std::lock_guard lock(m_mutex);
    for (const DevUser &u : m_state.users) {
        if (u.id == id)
            return u;
    }
    return std::nullopt;
}

Meeting DevStore::createMeeting(std::int64_t userId) {
    const std::lock_guard lock(m_mutex);
    State next = m_state;
    Meeting meeting{next.nextMeetingId++, userId, nowSeconds(), std::nullopt};
    next.meetings.push_back(meeting);
    commit(std::move(next));
    return meeting;
}

std::optional<Meeting> DevStore::meeting(std::int64_t id) const {
    const std::lock_guard lock(m_mutex);
    for (const Meeting &m : m_state.meetings) {
        if (m.id == id)
            return m;
    }
    return std::nullopt;
}

std::vector<Meeting> DevStore::meetings() const {
    const std::lock_guard lock(m_mutex);
    std::vector<Meeting> list(m_state.meetings.rbegin(), m_state.meetings.rend());
    return list;
}

void DevStore::setAudio(std::int64_t meetingId, MeetingAudio audio) {
    const std::lock_guard lock(m_mutex);
    State next = m_state;
    const auto it = std::find_if(next.meetings.begin(), next.meetings.end(),
                                 [meetingId](const Meeting &m) { return m.id == meetingId; });
    if (it == next.meetings.end())
        throw std::out_of_range("no meeting " + std::to_string(meetingId));
    it->audio = std::move(audio);
    commit(std::move(next));
}
