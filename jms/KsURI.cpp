#include "jms/KsURI.hpp"

#include <cctype>
#include <string_view>
#include <utility>

#include "support/KsText.hpp"

namespace ks {

namespace {

// The part of s before the first delimiter; s keeps what follows it. Without
// the delimiter the result is all of s and s becomes empty.
std::string Fetch(std::string& s, std::string_view delimiter) {
  std::size_t at = s.find(delimiter);
  std::string result;
  if (at == std::string::npos) {
    result.swap(s);
  } else {
    result = s.substr(0, at);
    s.erase(0, at + delimiter.size());
  }
  return result;
}

// Parameters follow the first "?", or the first "=" when there is no "?".
void SplitParams(std::string& s, std::string& params) {
  std::size_t at = s.find('?');
  if (at == std::string::npos) at = s.find('=');
  if (at == std::string::npos) return;
  params = s.substr(at + 1);
  s.erase(at);
}

}  // namespace

TKsURI::TKsURI(const std::string& uri) {
  if (!uri.empty()) SetURI(uri);
}

std::string TKsURI::GetHost() const { return host_; }
bool TKsURI::GetIPv6() const { return ipv6_; }
std::string TKsURI::GetParams() const { return params_; }
std::string TKsURI::GetPassword() const { return password_; }
std::string TKsURI::GetPath() const { return path_; }
std::string TKsURI::GetPort() const { return port_; }
void TKsURI::SetPort(const std::string& port) { port_ = port; }
std::string TKsURI::GetProtocol() const { return protocol_; }
std::string TKsURI::GetUsername() const { return username_; }
std::string TKsURI::GetURI() const { return uri_; }

void TKsURI::SetURI(const std::string& uri) {
  uri_ = uri;
  std::string s = uri;
  protocol_.clear();
  host_.clear();
  path_.clear();
  port_.clear();
  username_.clear();
  password_.clear();
  params_.clear();
  ipv6_ = false;

  std::size_t scheme = s.find("://");
  if (scheme == std::string::npos) {
    SplitParams(s, params_);
    return;
  }
  protocol_ = s.substr(0, scheme);
  s.erase(0, scheme + 3);
  SplitParams(s, params_);

  std::string authority = Fetch(s, "/");  // the path is dropped
  SetAuthority(authority);
}

void TKsURI::SetAuthority(std::string authority) {
  std::size_t at = authority.find('@');
  if (at != std::string::npos) {
    std::string userinfo = authority.substr(0, at);
    authority.erase(0, at + 1);
    username_ = Fetch(userinfo, ":");
    password_ = userinfo;
    if (username_.empty()) password_.clear();
  }

  std::size_t open = authority.find('[');
  std::size_t close = authority.find(']');
  if (open != std::string::npos && close != std::string::npos && close > open) {
    std::string t = Fetch(authority, "]");
    host_ = t.substr(t.find('[') + 1);
    Fetch(authority, ":");
    port_ = authority;
    ipv6_ = true;
    return;
  }
  host_ = Fetch(authority, ":");
  port_ = authority;
}

bool FindURIParameter(std::string_view params, std::string_view name, std::string& value) {
  bool found = false;
  while (!params.empty()) {
    const std::size_t amp = params.find('&');
    const std::string_view item = params.substr(0, amp);
    params = amp == std::string_view::npos ? std::string_view() : params.substr(amp + 1);
    const std::size_t eq = item.find('=');
    if (!SameText(item.substr(0, eq), name)) continue;
    value.assign(eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1));
    found = true;
  }
  return found;
}

namespace {

constexpr std::string_view kFailoverScheme = "failover:";

// True when text at pos begins an address: a scheme of letters, digits,
// "+", "-" or "." followed by "://".
bool BeginsAddress(std::string_view text, std::size_t pos) {
  std::size_t i = pos;
  while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) != 0 || text[i] == '+' ||
                             text[i] == '-' || text[i] == '.')) {
    ++i;
  }
  return i > pos && text.substr(i, 3) == "://";
}

}  // namespace

bool IsFailoverURI(std::string_view text) { return text.substr(0, kFailoverScheme.size()) == kFailoverScheme; }

bool SplitFailoverURI(std::string_view text, std::vector<std::string>& uris, std::string& params) {
  uris.clear();
  params.clear();
  if (!IsFailoverURI(text)) return false;
  std::string_view list = text.substr(kFailoverScheme.size());
  if (!list.empty() && list.front() == '(') {
    const std::size_t close = list.rfind(')');
    if (close == std::string_view::npos) return false;
    const std::string_view after = list.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != '?') return false;
      params.assign(after.substr(1));
    }
    list = list.substr(1, close - 1);
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i <= list.size(); ++i) {
    if (i < list.size() && !(list[i] == ',' && BeginsAddress(list, i + 1))) continue;
    std::string uri = Trim(list.substr(start, i - start));
    if (uri.empty()) return false;
    uris.push_back(std::move(uri));
    start = i + 1;
  }
  return !uris.empty();
}

}  // namespace ks
