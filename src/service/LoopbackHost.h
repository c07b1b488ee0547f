#pragma once
// The one rule for where the bearer token may travel over plain http: a loopback host, judged
// on the address as written. The request builder and the development address override ask it
// at run time, and the build's own address is checked with it when the program is compiled
// (a static_assert), so they can never disagree.

#include <string_view>

namespace LoopbackHost {

namespace detail {

constexpr bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// Four decimal parts of 0..255 without leading zeros, the first being 127. Shorthands such as
// "127.1" or "0x7f.0.0.1" are refused rather than interpreted.
constexpr bool isLoopbackIpv4(std::string_view host) {
    int parts = 0;
    std::size_t i = 0;
    while (i <= host.size()) {
        std::size_t end = host.find('.', i);
        if (end == std::string_view::npos)
            end = host.size();
        const std::string_view part = host.substr(i, end - i);
        if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0'))
            return false;
        int value = 0;
        for (const char c : part) {
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + (c - '0');
        }
        if (value > 255 || (parts == 0 && value != 127))
            return false;
        ++parts;
        i = end + 1;
    }
    return parts == 4;
}

} // namespace detail

// A URL's host as its parser gives it: "localhost" in any case, 127.x.y.z, or ::1 (with or
// without the brackets of a URL).
constexpr bool isLoopbackHost(std::string_view host) {
    return detail::equalsIgnoringAsciiCase(host, "localhost") || detail::isLoopbackIpv4(host) ||
           host == "::1" || host == "[::1]";
}

namespace detail {

// The scheme and host of a service address as written, before any parser normalises it
// ("127.1" stays "127.1"); valid is false for anything but http(s) with a host and no user info.
struct WrittenAddress {
    bool valid = false;
    bool secure = false;
    std::string_view host;
};

constexpr WrittenAddress writtenAddress(std::string_view url) {
    constexpr std::string_view https = "https://";
    constexpr std::string_view http = "http://";
    const bool secure = url.substr(0, https.size()) == https;
    if (!secure && url.substr(0, http.size()) != http)
        return {};
    const std::string_view rest = url.substr(secure ? https.size() : http.size());
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (authority.empty() || authority.find('@') != std::string_view::npos)
        return {};
    std::string_view host = authority;
    if (authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return {};
        host = authority.substr(0, close + 1);
    } else {
        host = authority.substr(0, authority.find(':'));
    }
    return {!host.empty(), secure, host};
}

} // namespace detail

// Whether the bearer token may be sent to this address: https to any host, plain http only to
// a loopback host. Deliberately strict: user info, an empty host or an unusual form of a
// loopback address is refused.
constexpr bool isAllowedServiceUrl(std::string_view url) {
    const detail::WrittenAddress address = detail::writtenAddress(url);
    return address.valid && (address.secure || isLoopbackHost(address.host));
}

// Whether this http(s) address names a loopback host, as written.
constexpr bool isLoopbackServiceUrl(std::string_view url) {
    const detail::WrittenAddress address = detail::writtenAddress(url);
    return address.valid && isLoopbackHost(address.host);
}

} // namespace LoopbackHost
