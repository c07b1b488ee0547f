#include "AppState.h"

static_assert(std::variant_size_v<AppState::Value> == 5);
static_assert(
    std::is_same_v<
        std::variant_alternative_t<static_cast<std::size_t>(AppState::Case::idle), AppState::Value>,
        AppState::Idle>);
static_assert(
    std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(AppState::Case::recording),
                                              AppState::Value>,
                   AppState::Recording>);
static_assert(
    std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(AppState::Case::uploadError),
                                              AppState::Value>,
                   AppState::UploadError>);
static_assert(
    std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(AppState::Case::notLoggedIn),
                                              AppState::Value>,
                   AppState::NotLoggedIn>);
static_assert(
    std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(AppState::Case::uploading),
                                              AppState::Value>,
                   AppState::Uploading>);

AppState::Case AppState::kind() const noexcept {
    return static_cast<Case>(m_value.index());
}

std::optional<UserProfileVM> AppState::profile() const {
    if (const auto *idle = std::get_if<Idle>(&m_value)) {
        return idle->profile;
    }
    if (const auto *recording = std::get_if<Recording>(&m_value)) {
        return recording->profile;
    }
    return std::nullopt;
}

QDateTime AppState::startTime() const {
    if (const auto *recording = std::get_if<Recording>(&m_value)) {
        return recording->startTime;
    }
    return {};
}

QString AppState::errorText() const {
    if (const auto *error = std::get_if<UploadError>(&m_value)) {
        return error->text;
    }
    if (const auto *signedOut = std::get_if<NotLoggedIn>(&m_value)) {
        return signedOut->notice;
    }
    return {};
}
