// The Python modules stored in the system as source text: each found by its module name, with
// the file name it was written as (which tells a package, "__init__.py") and its whole source.
#pragma once

#include <span>
#include <string_view>

namespace tw::py {

struct StoredModule {
    std::string_view name;
    std::string_view file_name;
    std::string_view source;
};

// In table order; a lookup takes the first row whose name is equal.
std::span<const StoredModule> stored_modules();

}  // namespace tw::py
