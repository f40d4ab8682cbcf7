// The families' coroutine packages. Every coroutine function is made from its core function's
// declaration, so the package reads nothing of its core module while it loads: an import on
// another thread may hand it a core that is still loading.
#include "modules.hpp"

namespace velmor {

void coroutine_package(vm::Module& m, ShortNames names, Imports also) {
    m.import("asyncio");
    m.import_from(m.name(), {"core"});
    if (also.module) m.import_from(also.module, also.names);
    nb::list all;
    for (const ShortName& entry : names) {
        m.coroutine(entry.name, entry.core_function);
        all.append(nb::str(entry.name));
    }
    for (const char* extra : also.names) all.append(nb::str(extra));
    all.append(nb::str("core"));
    m.set("__all__", all);
}

}  // namespace velmor
