#include "platform/platform.h"

namespace kestrune::platform {
std::span<const EmbeddedResource> EmbeddedResources() { return {}; }
}  // namespace kestrune::platform
