#include <cstdlib>

#include "tests/support/scoped_env.h"

namespace kestrune::testing {

void SetEnvironment(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

}  // namespace kestrune::testing
