#pragma once
// The HTTP side of the reference service: the five API endpoints, the confirmation page that
// stands in for the Telegram bot, the meetings page and the stored recordings, on 127.0.0.1.

#include "DevStore.h"

#include <httplib.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

class DevService {
public:
    struct Options {
        std::chrono::seconds nonceLifetime{300};
        std::uint64_t maxUpload = 1024ull * 1024 * 1024; // whole request body of an upload
        int autoConfirmAfterPolls = 0;
    };

    DevService(DevStore &store, Options options);
    DevService(const DevService &) = delete;
    DevService &operator=(const DevService &) = delete;

    // Binds to 127.0.0.1:`port`, any free port for 0, and returns the port; throws
    // std::runtime_error when the port cannot be had.
    int bind(int port);
    // Serves until stop() is called from another thread.
    void run();
    void stop();

    // "http://127.0.0.1:PORT", once bound.
    [[nodiscard]] std::string origin() const;
    // The meetings page with this run's key, which shows every user's recordings.
    [[nodiscard]] std::string meetingsAddress() const;

private:
    void addRoutes();
    void startLogin(httplib::Response &res);
    void pollLogin(const httplib::Request &req, httplib::Response &res);
    void profile(const httplib::Request &req, httplib::Response &res);
    void createMeeting(const httplib::Request &req, httplib::Response &res);
    void uploadAudio(const httplib::Request &req, httplib::Response &res,
                     const httplib::ContentReader &reader);
    void meetingsPage(const httplib::Request &req, httplib::Response &res);
    void meetingAudio(const httplib::Request &req, httplib::Response &res);
    void confirmPage(const httplib::Request &req, httplib::Response &res);
    void confirm(const httplib::Params &form, httplib::Response &res);

    [[nodiscard]] std::optional<DevUser> bearerUser(const httplib::Request &req) const;
    // The request carries this run's key as "key" in its query.
    [[nodiscard]] bool hasPageKey(const httplib::Request &req) const;

    DevStore &m_store;
    Options m_options;
    httplib::Server m_server;
    int m_port = 0;
    // Made at start and printed only to whoever started the service: the recordings on the
    // pages are no one else's business on a shared machine.
    std::string m_pageKey;
};
