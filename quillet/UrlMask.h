#pragma once

// Publishing URLs carry their stream key in the last path element or the
// query string, and stream names are keys themselves. Whatever prints a URL
// or a stream name (log lines of the engine and of the RTMP library, the
// command-line tool, messages to the client) prints it through these, so
// that a key never leaves the process. Header only.

#include <string>
#include <string_view>

namespace quillet {

inline constexpr std::string_view kMaskedText = "****";

// `url` with a password of its user part, its last path element and its
// query string replaced by "****": "rtmp://host:1935/live/KEY?t=X" becomes
// "rtmp://host:1935/live/****?****". A URL without a path element after the
// host keeps its host; text that is not a URL is masked whole.
inline std::string MaskUrl(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos)
    return url.empty() ? std::string() : std::string(kMaskedText);
  const size_t authority_begin = scheme + 3;
  size_t authority_end = url.find_first_of("/?", authority_begin);
  if (authority_end == std::string_view::npos) authority_end = url.size();
  std::string out(url.substr(0, authority_begin));
  std::string_view authority = url.substr(authority_begin, authority_end - authority_begin);
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view user = authority.substr(0, at);
    const size_t colon = user.find(':');
    out += colon == std::string_view::npos ? user : user.substr(0, colon + 1);
    if (colon != std::string_view::npos) out += kMaskedText;
    out += '@';
    authority = authority.substr(at + 1);
  }
  out += authority;

  std::string_view rest = url.substr(authority_end);
  const size_t query = rest.find('?');
  std::string_view path = rest.substr(0, query);
  const size_t last_slash = path.rfind('/');
  if (last_slash != std::string_view::npos) {
    out += path.substr(0, last_slash + 1);
    if (last_slash + 1 < path.size()) out += kMaskedText;
  }
  if (query != std::string_view::npos) {
    out += '?';
    out += kMaskedText;
  }
  return out;
}

// A stream name is the key: only whether there is one shows.
inline std::string MaskStreamName(std::string_view name) {
  return name.empty() ? std::string() : std::string(kMaskedText);
}

}  // namespace quillet
