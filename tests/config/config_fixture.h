// A private platform root (and so a private registry) for each test, and small registry helpers.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include "platform/registry.h"
#include "tests/fixtures/test_support.h"

namespace kv::test {

class PrivateRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KV_PLATFORM_ROOT", root_.path().c_str(), 1);
    platform::RegSetBusyTimeout(5000);
  }
  void TearDown() override { unsetenv("KV_PLATFORM_ROOT"); }

  static bool SetString(platform::HKEY root, std::u16string_view key, std::u16string_view name,
                        std::u16string_view text, platform::DWORD type = platform::REG_SZ) {
    platform::RegKey k;
    if (platform::RegCreateKeyEx(root, key, 0, platform::KEY_WRITE, k.put(), nullptr) != platform::ERROR_SUCCESS) {
      return false;
    }
    const auto d = platform::RegStringData(text);
    return platform::RegSetValueEx(k, name, type, d.data(), static_cast<platform::DWORD>(d.size())) ==
           platform::ERROR_SUCCESS;
  }
  static bool SetDword(platform::HKEY root, std::u16string_view key, std::u16string_view name, uint32_t v) {
    platform::RegKey k;
    if (platform::RegCreateKeyEx(root, key, 0, platform::KEY_WRITE, k.put(), nullptr) != platform::ERROR_SUCCESS) {
      return false;
    }
    const uint8_t d[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 24)};
    return platform::RegSetValueEx(k, name, platform::REG_DWORD, d, 4) == platform::ERROR_SUCCESS;
  }
  static std::optional<std::u16string> GetString(platform::HKEY root, std::u16string_view key,
                                                 std::u16string_view name) {
    platform::RegKey k;
    if (platform::RegOpenKeyEx(root, key, 0, platform::KEY_READ, k.put()) != platform::ERROR_SUCCESS) {
      return std::nullopt;
    }
    std::u16string s;
    if (!platform::RegReadString(k, name, &s, 1u << 20)) return std::nullopt;
    return s;
  }
  static std::optional<uint32_t> GetDword(platform::HKEY root, std::u16string_view key, std::u16string_view name) {
    platform::RegKey k;
    if (platform::RegOpenKeyEx(root, key, 0, platform::KEY_READ, k.put()) != platform::ERROR_SUCCESS) {
      return std::nullopt;
    }
    platform::DWORD v = 0;
    if (!platform::RegReadDword(k, name, &v)) return std::nullopt;
    return v;
  }

  // Runs `body` in a forked child and returns its exit status (-1 when it did not exit).
  static int InChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  TempDir root_;
};

}  // namespace kv::test
