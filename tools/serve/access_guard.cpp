#include "access_guard.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

#include "secure_random.h"

namespace kqtool {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::string_view StripBrackets(std::string_view name) {
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') return name.substr(1, name.size() - 2);
  return name;
}

bool IsIpv4(std::string_view name) {
  int parts = 0;
  while (true) {
    std::size_t dot = name.find('.');
    std::string_view part = name.substr(0, dot);
    int value = 0;
    auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (part.empty() || part.size() > 3 || error != std::errc() || end != part.data() + part.size() || value > 255)
      return false;
    ++parts;
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
  }
  return parts == 4;
}

bool IsIpv6(std::string_view name) {
  if (name.size() < 2 || name.find(':') == std::string_view::npos) return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'; });
}

}  // namespace

AccessGuard::AccessGuard(std::string bindAddress, int port, std::string token)
    : FBind(Lower(StripBrackets(bindAddress))),
      FPort(port),
      FToken(std::move(token)),
      FCookieName("kq_token_" + std::to_string(port)) {}

bool AccessGuard::IsLoopback(std::string_view address) {
  const std::string name = Lower(StripBrackets(address));
  return name == "localhost" || name == "::1" || (IsIpv4(name) && name.rfind("127.", 0) == 0);
}

bool AccessGuard::IsWildcard(std::string_view address) {
  const std::string_view name = StripBrackets(address);
  return name == "0.0.0.0" || name == "::";
}

bool AccessGuard::IsIpLiteral(std::string_view name) { return IsIpv4(name) || IsIpv6(name); }

std::string AccessGuard::UrlHost(std::string_view address) {
  const std::string_view name = StripBrackets(address);
  return IsIpv6(name) ? "[" + std::string(name) + "]" : std::string(name);
}

bool AccessGuard::HostAllowed(std::string_view host) const {
  std::string_view name = host;
  std::string_view port;
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    name = host.substr(1, close - 1);
    std::string_view rest = host.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port = rest.substr(1);
    }
    if (!IsIpv6(name)) return false;
  } else {
    const std::size_t colon = host.rfind(':');
    if (colon != std::string_view::npos) {
      name = host.substr(0, colon);
      port = host.substr(colon + 1);
    }
    if (name.find(':') != std::string_view::npos) return false;
  }
  // Without a port a browser means the scheme's default.
  int number = 80;
  if (!port.empty()) {
    auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (error != std::errc() || end != port.data() + port.size()) return false;
  }
  if (number != FPort || name.empty()) return false;
  const std::string lower = Lower(name);
  if (lower == FBind) return true;
  if (IsLoopback(FBind)) return IsLoopback(lower);
  if (IsWildcard(FBind)) return lower == "localhost" || IsIpLiteral(lower);
  return false;
}

bool AccessGuard::TokenMatches(std::string_view presented) const noexcept {
  if (presented.size() != FToken.size() || FToken.empty()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < FToken.size(); ++i) difference |= static_cast<unsigned char>(presented[i] ^ FToken[i]);
  return difference == 0;
}

std::string_view AccessGuard::TokenFromCookies(std::string_view cookies) const {
  while (!cookies.empty()) {
    const std::size_t end = cookies.find(';');
    std::string_view pair = cookies.substr(0, end);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == FCookieName) return pair.substr(equals + 1);
    if (end == std::string_view::npos) break;
    cookies.remove_prefix(end + 1);
  }
  return {};
}

std::string RandomToken(std::size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  SecureRandomBytes(raw.data(), raw.size());
  static constexpr char Hex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char b : raw) {
    text += Hex[b >> 4];
    text += Hex[b & 15];
  }
  return text;
}

}  // namespace kqtool
