// The methods and properties of the standard stream objects (`sys.stdin`, `sys.stdout`, ...).
#pragma once

namespace tw::py {

class TypeRegistry;
class Symbols;

void attach_stream_class(TypeRegistry& registry, Symbols& symbols);

}  // namespace tw::py
