// Sets an environment variable for one test and puts the old value back.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace kestrune::testing {

// nullopt unsets the variable. One implementation per host (scoped_env_*.cpp).
void SetEnvironment(const std::string& name, const std::optional<std::string>& value);

class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value)
      : name_(std::move(name)), old_(platform::ReadEnvironmentVariable(name_.c_str())) {
    SetEnvironment(name_, value);
  }
  ~ScopedEnv() { SetEnvironment(name_, old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace kestrune::testing
