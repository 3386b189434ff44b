#include <cstdio>
#include <map>

#include "helper_roles.h"

namespace kqtest {

namespace {
std::map<std::string, HelperRoleFn>& Roles() {
  static std::map<std::string, HelperRoleFn> roles;
  return roles;
}
}  // namespace

HelperRole::HelperRole(const char* name, HelperRoleFn fn) { Roles()[name] = fn; }

HelperRoleFn FindHelperRole(const std::string& name) {
  auto it = Roles().find(name);
  return it == Roles().end() ? nullptr : it->second;
}

}  // namespace kqtest

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: kq_test_helper ROLE [ARGS...]\n");
    return 2;
  }
  kqtest::HelperRoleFn fn = kqtest::FindHelperRole(argv[1]);
  if (!fn) {
    std::fprintf(stderr, "kq_test_helper: unknown role %s\n", argv[1]);
    return 2;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  try {
    return fn(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kq_test_helper %s: %s\n", argv[1], e.what());
    return 3;
  }
}
