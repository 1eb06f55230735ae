// Code objects: the immutable, shared result of compiling one code unit (a module, a function,
// a class body or a comprehension), and the runtime instruction set they hold.
//
// The compiler's IR and the runtime instructions share one numbering (`PyOpcode`): lowering
// turns IR record k into exactly one instruction k, so IR indices are instruction indices and
// jump targets need no relocation. Names are symbols of the heap's identifier table, handed out
// through the `CodeHost` seam below; payloads that do not fit an instruction live in side
// tables of the code object, one entry per instruction that uses them, in instruction order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "python/front/ast.h"
#include "python/front/tokens.h"

namespace tw {

// The 67 operations, numbered as they are dispatched.
enum class PyOpcode : std::uint8_t {
    LoadConst, LoadName, LoadGlobal, StoreName, LoadFast, StoreFast, StoreEnclosing,
    StoreNonlocal, StoreGlobal, StoreAttr, StoreSubscr, DeleteAttr, DeleteName, DeleteFast,
    DeleteGlobal, DeleteSubscr, ImportModule, ImportFrom, ImportStar, LoadAttr, LoadSubscr,
    BuildSlice, BuildList, BuildTuple, BuildDict, BuildSet, BuildUnpacked, UnpackSequence,
    MakeFunction, MakeClass, GetIter, ForIter, UnaryOp, BinaryOp, InplaceOp, FormatValue,
    CompareOp, Call, LoadMethod, CallMethod, Copy, Swap, PopTop, Jump, JumpIfFalseOrPop,
    JumpIfTrueOrPop, PopJumpIfFalse, ReturnValue, RaiseSyntaxError, RaiseAssertionError,
    SetupExcept, PopBlock, ExceptionMatch, PopExcept, Reraise, Raise, RaiseFrom, YieldValue,
    YieldFrom, ResumeAwait, WithEnter, WithExit, WithExceptExit, AsyncWithExceptExit,
    AsyncWithExceptResult, ExprStatement, Halt,
};
inline constexpr std::size_t kPyOpcodeCount = 67;

// "LoadConst", "LoadName", ...
std::string_view opcode_name(PyOpcode op);
// The operations whose operand `a` is a symbol (StoreEnclosing's and ImportModule's included).
bool opcode_takes_symbol(PyOpcode op);
// The operations whose operand `a` is an instruction index: the jumps, SetupExcept's handler and
// YieldFrom's resume point.
bool opcode_has_target(PyOpcode op);

inline constexpr std::uint32_t kNoSymbol = 0xFFFFFFFFu;
inline constexpr std::uint32_t kNoCodeId = 0xFFFFFFFFu;
inline constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;

// One runtime instruction: the opcode and its operands.
//   a: the constant, symbol, slot, count, side-table index, depth or jump target;
//   b: StoreEnclosing's depth, UnpackSequence's starred index (kNoIndex: none);
//   flag: ImportModule's top_level, ExceptionMatch's has_type, Raise's has_exception, the bits
//         1/2/4 of BuildSlice (lower/upper/step present), the operator byte of the operator
//         instructions, BuildUnpacked's kind (0 list, 1 tuple, 2 set).
struct Instruction {
    PyOpcode op = PyOpcode::Halt;
    std::uint8_t flag = 0;
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    bool operator==(const Instruction&) const = default;
};

// A constant of a code object: the layout of the syntax tree's constants with the text owned.
struct CodeConstant {
    ConstantKind kind = ConstantKind::None;
    bool flag = false;           // Bool
    std::int64_t int_value = 0;  // Int
    double float_value = 0;      // Float, Imaginary
    std::string text;            // BigInt (decimal digits), Str, Bytes
    bool operator==(const CodeConstant&) const = default;
};

struct KeywordName {
    std::uint32_t present = 0;  // 1 for name=value, 0 for **mapping
    std::uint32_t symbol = kNoSymbol;
    bool operator==(const KeywordName&) const = default;
};

struct CallSiteInfo {
    std::vector<KeywordName> keyword_names;
    std::vector<std::uint8_t> flags;  // one per argument; CallMethod: the receiver first
    std::uint32_t positional_count = 0;
    bool operator==(const CallSiteInfo&) const = default;
};

struct CodeObject;
using CodeObjectPtr = std::shared_ptr<const CodeObject>;

struct FunctionInfo {
    CodeObjectPtr code;
    std::uint32_t default_count = 0;
    std::uint32_t name = kNoSymbol;
};

struct ClassInfo {
    CodeObjectPtr code;
    std::vector<std::string> annotated_names;
    std::uint32_t base_count = 0;
    std::uint32_t name = kNoSymbol;
    bool has_metaclass = false;
};

struct FormatFieldInfo {
    std::string spec;
    std::int32_t conversion = -1;
    bool operator==(const FormatFieldInfo&) const = default;
};

struct ParamSlot {
    std::uint32_t symbol = kNoSymbol;
    ParamKind kind = ParamKind::PositionalOrKeyword;
    bool has_default = false;
    bool operator==(const ParamSlot&) const = default;
};

// How lowering resolves names: function locals become slots, module names go to the globals,
// class bodies (and eval code) look every name up at run time.
enum class CodeKind : std::uint8_t { FunctionBody, ModuleBody, ClassBody };

struct CodeObject {
    std::uint32_t id = kNoCodeId;
    CodeKind kind = CodeKind::ModuleBody;
    std::vector<Instruction> instructions;
    std::vector<SourceSpan> positions;
    std::vector<CodeConstant> constants;
    std::vector<CallSiteInfo> call_sites;
    std::vector<FunctionInfo> functions;
    std::vector<ClassInfo> classes;
    std::vector<FormatFieldInfo> format_fields;
    std::vector<std::vector<std::uint8_t>> flag_lists;
    std::vector<std::string> syntax_messages;
    std::vector<ParamSlot> parameters;
    std::shared_ptr<const std::vector<std::uint32_t>> local_names;
    std::vector<std::uint32_t> default_indices;
    std::uint32_t positional_count = 0;
    std::uint32_t required_positional_count = 0;
    std::optional<std::uint32_t> vararg_index;
    std::optional<std::uint32_t> kwarg_index;
    bool has_yield = false;
    bool is_async = false;
    bool needs_scope = false;
    bool has_required_kwonly = false;
    std::shared_ptr<const std::string> docstring;
};

// What lowering needs of the machine: interning identifiers and registering finished code
// objects. The heap implements it over its symbol and code tables; a failure (a table limit, a
// refused memory charge) is recorded by the host as the compilation's first error and reported
// by `failed`, and compilation goes on with the all-ones symbol or id.
class CodeHost {
public:
    virtual ~CodeHost() = default;
    // The symbol of `name`; the same text always gives the same symbol. kNoSymbol on failure.
    virtual std::uint32_t intern(std::string_view name) = 0;
    // Takes a slot for the code object about to be built (sweeping and charging as the table
    // does); kNoCodeId on failure, in which case `store_code` is not called.
    virtual std::uint32_t reserve_code_id() = 0;
    // Puts the built code object into the slot `reserve_code_id` returned.
    virtual void store_code(std::uint32_t id, CodeObjectPtr code) = 0;
    // True once an error has been recorded.
    virtual bool failed() const = 0;
};

// A host without a heap, for listings, tools and benchmarks: symbols are numbered in the order
// names are first seen, code ids in the order of registration, and nothing is kept but names.
class DetachedCodeHost final : public CodeHost {
    struct StringHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };

public:
    std::uint32_t intern(std::string_view name) override;
    std::uint32_t reserve_code_id() override { return next_id_++; }
    void store_code(std::uint32_t, CodeObjectPtr) override {}
    bool failed() const override { return false; }
    // The text of a symbol handed out by `intern` ("?" for others).
    std::string_view name(std::uint32_t symbol) const;

private:
    std::vector<std::string> names_;
    std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> index_;
    std::uint32_t next_id_ = 0;
};

}  // namespace tw
