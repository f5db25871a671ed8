#include "tests/support/scoped_env.h"

#include "platform/platform.h"

namespace kestrune::testing {

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)), old_(platform::ReadEnvironmentVariable(name_.c_str())) {
  SetEnvironment(name_, value);
}

ScopedEnv::~ScopedEnv() { SetEnvironment(name_, old_); }

}  // namespace kestrune::testing
