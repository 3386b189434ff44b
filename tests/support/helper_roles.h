#pragma once

#include <string>
#include <vector>

namespace kqtest {

// A role of the helper executable: gets the arguments after the role name, returns the exit code.
using HelperRoleFn = int (*)(const std::vector<std::string>& args);

// Registers a role at start-up; each helper_*.cpp file adds its own roles.
struct HelperRole {
  HelperRole(const char* name, HelperRoleFn fn);
};

HelperRoleFn FindHelperRole(const std::string& name);

}  // namespace kqtest
