#include "base/panic.h"

namespace tw {

void panic(std::string message) { throw Panic(std::move(message)); }

void unreachable(std::string_view what) {
    panic("internal error: entered unreachable code: " + std::string(what));
}

}  // namespace tw
