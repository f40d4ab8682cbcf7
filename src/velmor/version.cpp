// velmor.version: the version text of the package, the project's version that the build passes in.
#include "modules.hpp"

namespace velmor {

void build_version(vm::Module& m) { m.set("__version__", nb::str(VELMOR_VERSION)); }

}  // namespace velmor
