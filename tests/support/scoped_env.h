// Sets an environment variable for one test and puts the old value back.
#pragma once

#include <optional>
#include <string>

namespace kestrune::testing {

class ScopedEnv {
 public:
  // nullopt unsets the variable.
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// One implementation per host (scoped_env_*.cpp).
void SetEnvironment(const std::string& name, const std::optional<std::string>& value);

}  // namespace kestrune::testing
