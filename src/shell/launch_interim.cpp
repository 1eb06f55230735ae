// Stand-ins for the program builders of launch.h, for as long as the executor does not provide
// them. Each file that provides a builder removes its stand-in here (the resumable programs'
// builders are in shell/program/program.cpp).
#include <fmt/format.h>

#include "kernel/machine.h"
#include "shell/launch.h"

namespace tw {

}  // namespace tw
