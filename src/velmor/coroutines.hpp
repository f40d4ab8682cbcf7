// The families' coroutine packages and the short names they share with velmor.sync.
#pragma once

#include "runtime/runtime.hpp"

#include <initializer_list>
#include <span>

namespace velmor {

// A family's public name over the core function it runs, e.g. {"encrypt", aes::encrypt_str}.
// One table per family serves its coroutine package and velmor.sync.
struct ShortName {
    const char* name;
    const vm::Declaration& core_function;
};
using ShortNames = std::span<const ShortName>;

// `from module import names...`
struct Imports {
    const char* module = nullptr;
    std::initializer_list<const char*> names;
};

// The body of a family's coroutine package over the table of its short names: `import asyncio`,
// `from . import core`, the names `also` imports, one coroutine function per short name, and
// __all__: the short names, those of `also`, then "core".
void coroutine_package(vm::Module& m, ShortNames names, Imports also = {});

}  // namespace velmor
