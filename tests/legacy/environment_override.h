// Sets an environment variable for the length of a test and puts back what
// was there before, so that tests running against the real process
// environment leave it as they found it.
#pragma once

#include "platform/win32.h"
#include "support/test_tree.h"

#include <cstdlib>
#include <optional>
#include <string>

namespace van_tide::testing {

class EnvironmentOverride {
 public:
  // A null value unsets the variable.
  EnvironmentOverride(const wchar_t* name, const wchar_t* value) : name_(name) {
    wchar_t* buffer = nullptr;
    std::size_t count = 0;
    if (platform::WideDupEnv(&buffer, &count, name) == 0 && buffer != nullptr) {
      previous_ = std::wstring(buffer, count > 0 ? count - 1 : 0);
    }
    platform::FreeEnvCopy(buffer);
    Set(value);
  }
  ~EnvironmentOverride() {
    TestTree::SetEnvironment(name_.c_str(), previous_ ? previous_->c_str() : nullptr);
  }
  EnvironmentOverride(const EnvironmentOverride&) = delete;
  EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

  void Set(const wchar_t* value) { TestTree::SetEnvironment(name_.c_str(), value); }

 private:
  std::wstring name_;
  std::optional<std::wstring> previous_;
};

}  // namespace van_tide::testing
