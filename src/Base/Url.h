#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sorvel::text {

// The parts of a URL text, split as written (nothing decoded or normalised).
// Absent when the text is not a URL: empty, a character outside the URL
// character set (blank, control, non-ASCII, quote, angle bracket, ...), a
// broken percent escape or a second "#". A text without a scheme is a
// relative URL ("plain" is one, with that path).
struct UrlParts {
    std::string scheme;     // as written; empty when there is none
    std::string authority;  // what follows "//" up to the path; empty when none
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};
std::optional<UrlParts> parseUrl(std::string_view text);

// The parts of an absolute http(s) URL with a host; absent for any other URL.
// The host is letters, digits, "-", ".", "_" and "~", or an IPv6 address in
// brackets; a port is at most 65535. User information before "@" is skipped.
struct HttpUrlParts {
    std::string scheme;  // "http" or "https", lower case
    std::string host;    // as written (brackets kept around an IPv6 address)
    std::optional<int> port;
    // "/" at least, "." and ".." segments resolved; no fragment.
    std::string pathAndQuery;
};
std::optional<HttpUrlParts> parseHttpUrl(std::string_view text);

// Replaces every "%" and two hex digits by the byte they stand for; a "%"
// without two hex digits after it stays as it is.
std::string percentDecode(std::string_view text);

}  // namespace sorvel::text
