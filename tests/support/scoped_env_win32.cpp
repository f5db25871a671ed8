#include <windows.h>

#include "tests/support/scoped_env.h"

namespace kestrune::testing {

void SetEnvironment(const std::string& name, const std::optional<std::string>& value) {
  ::SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
}

}  // namespace kestrune::testing
