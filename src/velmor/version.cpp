// velmor.version: the version text of the package.
#include "modules.hpp"

namespace velmor {

void build_version(vm::Module& m) { m.set("__version__", vm::checked(PyUnicode_FromString("1.0.10"))); }

}  // namespace velmor
