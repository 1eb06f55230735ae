// Type identities: an index into the type registry. The builtin types are 0..42 in this order,
// the registered value kinds 43..66, the exception classes 67..138, classes of programs from 139.
#pragma once

#include <cstdint>

namespace tw::py {

using TypeId = std::uint32_t;

enum class BuiltinType : TypeId {
    Object = 0,
    Type,
    None,
    Ellipsis,
    NotImplemented,
    Bool,
    Int,
    Float,
    String,
    Bytes,
    ByteArray,
    List,
    Tuple,
    Dict,
    Set,
    FrozenSet,
    Range,
    Function,
    Module,
    Iterator,
    Generator,
    Exception,  // BaseException
    Native,
    Regex,
    Match,
    Stream,
    Environment,
    NamespaceDict,
    DictKeys,
    DictValues,
    DictItems,
    MappingProxy,
    ArgumentParser,
    RaisesContext,
    Property,
    Array,
    Complex,
    Slice,
    GenericAlias,
    Enum,
    TestCase,
    StaticMethod,
    ClassMethod,
};

inline constexpr TypeId kBuiltinTypeCount = 43;
inline constexpr TypeId kFirstValueKindType = 43;
inline constexpr TypeId kValueKindCount = 24;
inline constexpr TypeId kFirstExceptionType = 67;
inline constexpr TypeId kFirstProgramType = 139;

constexpr TypeId type_id(BuiltinType t) { return TypeId(t); }

}  // namespace tw::py
