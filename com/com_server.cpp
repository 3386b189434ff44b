#include "com_server.h"

#include <algorithm>
#include <array>

#include "com_class_manager.h"
#include "com_object_factory.h"

namespace kq {

TComServer::TComServer(TComClassManager& classManager, std::u16string serverName, bool perUserRegistration)
    : FClassManager(classManager), FServerName(std::move(serverName)), FPerUserRegistration(perUserRegistration) {}

RegRoot TComServer::RegistryRoot() const noexcept {
  return FPerUserRegistration ? RegRoot::CurrentUser : RegRoot::ClassesRoot;
}

std::u16string_view TComServer::RegistryPrefix() const noexcept {
  return FPerUserRegistration ? u"Software\\Classes\\" : u"";
}

void TComServer::UpdateRegistry(bool doRegister) {
  FClassManager.ForEachFactory([&](TComObjectFactory& factory) {
    if (&factory.ComServer() == this && factory.Instancing() != ciInternal) factory.UpdateRegistry(doRegister);
  });
}

namespace {

bool SameSwitch(std::u16string_view arg, std::u16string_view name) {
  if (arg.size() != name.size() + 1 || (arg[0] != u'-' && arg[0] != u'/')) return false;
  auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; };
  return std::equal(name.begin(), name.end(), arg.begin() + 1, [&](char16_t a, char16_t b) { return a == upper(b); });
}

}  // namespace

bool PerUserSwitch(const std::vector<std::u16string>& args) {
  struct Switch {
    std::u16string_view Name;
    bool PerUser;
  };
  static constexpr std::array<Switch, 6> Order{{{u"AUTOMATION", false},
                                                {u"EMBEDDING", false},
                                                {u"REGSERVER", false},
                                                {u"UNREGSERVER", false},
                                                {u"REGSERVERPERUSER", true},
                                                {u"UNREGSERVERPERUSER", true}}};
  for (const Switch& s : Order)
    for (const std::u16string& arg : args)
      if (SameSwitch(arg, s.Name)) return s.PerUser;
  return false;
}

}  // namespace kq
