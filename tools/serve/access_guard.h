#pragma once

#include <string>
#include <string_view>

namespace kqtool {

// Who may use the served live view. Traced SQL is sensitive, so every request must carry this run's
// random token and name the address the server listens on in its Host header: a page of another
// site whose name an attacker points at this address (DNS rebinding) sends its own name and is refused.
class AccessGuard {
 public:
  // `bindAddress` as given to --bind (an IP literal, or "localhost"); `port` the one actually bound.
  AccessGuard(std::string bindAddress, int port, std::string token);

  const std::string& Token() const noexcept { return FToken; }
  int Port() const noexcept { return FPort; }
  // The cookie that carries the token after the first page load; named per port, since cookies are
  // shared by every port of a host.
  const std::string& CookieName() const noexcept { return FCookieName; }

  // True when a Host header value names this server: its port, and a name that cannot be a DNS name
  // of someone else's choosing (the bound address; on loopback also "localhost" and loopback
  // literals; on a wildcard address any IP literal).
  bool HostAllowed(std::string_view host) const;
  // Compares in constant time, so that the time of a refusal tells nothing about the token.
  bool TokenMatches(std::string_view presented) const noexcept;
  // This server's cookie's value in a Cookie header, or empty.
  std::string_view TokenFromCookies(std::string_view cookieHeader) const;

  // 127.0.0.0/8, ::1 and "localhost".
  static bool IsLoopback(std::string_view address);
  // 0.0.0.0 and :: (every address of the machine).
  static bool IsWildcard(std::string_view address);
  // A dotted-quad IPv4 literal, or an IPv6 literal (without brackets).
  static bool IsIpLiteral(std::string_view name);
  // The URL form of a host: IPv6 literals go in brackets.
  static std::string UrlHost(std::string_view address);

 private:
  std::string FBind;  // lower case, without brackets
  int FPort;
  std::string FToken;
  std::string FCookieName;
};

// `bytes` random bytes from the operating system's secure generator, as lower-case hex.
std::string RandomToken(std::size_t bytes);

}  // namespace kqtool
