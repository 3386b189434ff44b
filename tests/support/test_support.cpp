#include "test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace kqtest {

std::string CurrentTestName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "main";
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name.substr(0, 80);
}

void SleepForMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int RunHelper(const std::vector<std::string>& args, int timeoutMs) {
  ChildProcess child(args);
  if (!child.Started()) return -1;
  auto code = child.Wait(timeoutMs);
  return code ? *code : -1;
}

std::string TempPath(const std::string& leaf) {
  const char* ns = std::getenv("KQ_NAMESPACE");
  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("kqtest-" + std::string(ns ? ns : "none"));
  std::filesystem::create_directories(dir);
  return (dir / leaf).string();
}

}  // namespace kqtest
