#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "registry_store.h"

namespace kq {

class TComClassManager;

// The in-process server: counts live objects (with server locks) and references to its factories,
// which decide when the library may be unloaded, and fixes the registry root of registration.
class TComServer {
 public:
  TComServer(TComClassManager& classManager, std::u16string serverName, bool perUserRegistration);

  const std::u16string& ServerName() const noexcept { return FServerName; }
  [[nodiscard]] bool IsInprocServer() const noexcept { return FIsInprocServer; }
  [[nodiscard]] bool PerUserRegistration() const noexcept { return FPerUserRegistration; }
  TComClassManager& ClassManager() noexcept { return FClassManager; }

  std::int32_t ObjectCount() const noexcept { return FObjectCount.load(); }
  std::int32_t FactoryCount() const noexcept { return FFactoryCount.load(); }
  std::int32_t CountObject(bool created) noexcept { return created ? ++FObjectCount : --FObjectCount; }
  std::int32_t CountFactory(bool created) noexcept { return created ? ++FFactoryCount : --FFactoryCount; }

  // Root and key prefix of every registration key of this server.
  RegRoot RegistryRoot() const noexcept;
  std::u16string_view RegistryPrefix() const noexcept;

  // Registers or unregisters every factory of this server that is not internal.
  void UpdateRegistry(bool doRegister);

 private:
  TComClassManager& FClassManager;
  std::u16string FServerName;
  bool FIsInprocServer = true;
  std::atomic<std::int32_t> FObjectCount{0};
  std::atomic<std::int32_t> FFactoryCount{0};
  bool FPerUserRegistration;
};

// Whether a host's arguments ask for registration under the current user: the first switch present
// of AUTOMATION, EMBEDDING, REGSERVER, UNREGSERVER, REGSERVERPERUSER, UNREGSERVERPERUSER decides; a
// switch is "-" or "/" and exactly the name, in any letter case.
[[nodiscard]] bool PerUserSwitch(const std::vector<std::u16string>& args);

}  // namespace kq
