#include "Base/Url.h"

#include <algorithm>
#include <iterator>

#include "Base/Hex.h"

namespace sorvel::text {
namespace {

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isUnreserved(char c) {
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// Unreserved characters, delimiters and "%": everything a URL may hold
// unescaped.
bool isUrlChar(char c) {
    return isUnreserved(c) ||
           std::string_view(":/?#[]@!$&'()*+,;=%").find(c) != std::string_view::npos;
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Host and port of an authority ("user@host:port"); false when either is
// malformed or the host is empty.
bool splitAuthority(std::string_view authority, std::string& host, std::optional<int>& port) {
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos || close < 2) {
            return false;
        }
        const std::string_view address = authority.substr(1, close - 1);
        if (!std::all_of(address.begin(), address.end(),
                         [](char c) { return hexDigitValue(c) >= 0 || c == ':' || c == '.'; })) {
            return false;
        }
        host = std::string(authority.substr(0, close + 1));
        rest = authority.substr(close + 1);
    } else {
        const auto colon = authority.find(':');
        const std::string_view name = authority.substr(0, colon);
        if (name.empty() || !std::all_of(name.begin(), name.end(), isUnreserved)) {
            return false;
        }
        host = std::string(name);
        rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
    }
    if (rest.empty() || rest == ":") {
        return true;  // no port, or an empty one: the scheme's default
    }
    if (rest.front() != ':') {
        return false;  // something between "]" and the port
    }
    rest.remove_prefix(1);
    if (rest.size() > 5 || !std::all_of(rest.begin(), rest.end(), isDigit)) {
        return false;
    }
    int value = 0;
    for (char c : rest) {
        value = value * 10 + (c - '0');
    }
    if (value > 65535) {
        return false;
    }
    port = value;
    return true;
}

// The path with its "." and ".." segments resolved, as a request sends it: a
// ".." never climbs above the root.
std::string removeDotSegments(std::string_view in) {
    std::string out;
    auto dropLastSegment = [&out] {
        const auto slash = out.rfind('/');
        out.resize(slash == std::string::npos ? 0 : slash);
    };
    while (!in.empty()) {
        if (in.starts_with("../")) {
            in.remove_prefix(3);
        } else if (in.starts_with("./") || in.starts_with("/./")) {
            in.remove_prefix(2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.starts_with("/../")) {
            in.remove_prefix(3);
            dropLastSegment();
        } else if (in == "/..") {
            in = "/";
            dropLastSegment();
        } else if (in == "." || in == "..") {
            in = {};
        } else {
            const auto end = in.find('/', 1);
            out.append(in.substr(0, end));
            in.remove_prefix(end == std::string_view::npos ? in.size() : end);
        }
    }
    return out;
}

}  // namespace

std::optional<UrlParts> parseUrl(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    bool seenHash = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!isUrlChar(c)) {
            return std::nullopt;
        }
        if (c == '%' && (i + 2 >= text.size() || hexDigitValue(text[i + 1]) < 0 ||
                         hexDigitValue(text[i + 2]) < 0)) {
            return std::nullopt;
        }
        if (c == '#') {
            if (seenHash) {
                return std::nullopt;
            }
            seenHash = true;
        }
    }
    UrlParts url;
    std::string_view rest = text;
    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        url.fragment = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (auto q = rest.find('?'); q != std::string_view::npos) {
        url.query = std::string(rest.substr(q + 1));
        rest = rest.substr(0, q);
    }
    // A scheme is letters, digits, "+", "-" and "." after a leading letter.
    if (auto colon = rest.find(':'); colon != std::string_view::npos && colon > 0) {
        const std::string_view scheme = rest.substr(0, colon);
        const bool valid =
            isAlpha(scheme.front()) && std::all_of(scheme.begin(), scheme.end(), [](char c) {
                return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
            });
        if (valid) {
            url.scheme = std::string(scheme);
            rest = rest.substr(colon + 1);
        }
    }
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        const auto slash = rest.find('/');
        url.authority = std::string(rest.substr(0, slash));
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    url.path = std::string(rest);
    return url;
}

std::optional<HttpUrlParts> parseHttpUrl(std::string_view text) {
    auto url = parseUrl(text);
    if (!url) {
        return std::nullopt;
    }
    HttpUrlParts out;
    std::transform(url->scheme.begin(), url->scheme.end(), std::back_inserter(out.scheme), lower);
    if ((out.scheme != "http" && out.scheme != "https") ||
        !splitAuthority(url->authority, out.host, out.port)) {
        return std::nullopt;
    }
    out.pathAndQuery = url->path.find('.') == std::string::npos ? std::move(url->path)
                                                                : removeDotSegments(url->path);
    if (out.pathAndQuery.empty()) {
        out.pathAndQuery = "/";
    }
    if (url->query) {
        out.pathAndQuery += '?';
        out.pathAndQuery += *url->query;
    }
    return out;
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = hexDigitValue(text[i + 1]);
            const int lo = hexDigitValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

}  // namespace sorvel::text
