// UTC text of a point in time, with strftime-like directives.
#pragma once

#include <string>
#include <string_view>

#include "base/result.h"

namespace tw {

// Formats nanoseconds since 1970-01-01T00:00:00 UTC (negative before it) with the directives
// %a %b %d %e %F %H %M %m %N %S %s %T %Y %Z %z %%, and %-d %-e %-m %-Y %-H %-M %-S for the
// unpadded fields; any other directive is copied unchanged. Fails only when the day count does
// not fit in 64 bits: "timestamp is outside the supported calendar range".
Result<std::string, std::string> format_timestamp(__int128 nanoseconds, std::string_view format);

}  // namespace tw
