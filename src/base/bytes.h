// Byte buffers are std::string: contiguous, small-buffer optimised, and cheap to append. Inside
// a Unix machine text and bytes mix freely; a `Bytes` may hold any octets, including NUL and
// invalid UTF-8. Where a Python or JSON boundary needs text, decode with utf8_lossy (utf8.h).
#pragma once

#include <string>
#include <string_view>

namespace tw {

using Bytes = std::string;
using BytesView = std::string_view;

}  // namespace tw
