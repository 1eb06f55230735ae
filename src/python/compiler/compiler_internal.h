// The compiler's IR and the builder of one code unit; shared by the statement, expression and
// lowering halves of the compiler, not by its users.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "python/compiler/code.h"
#include "python/front/ast.h"

namespace tw::pycompile {

// Names in the IR are numbers into the compilation's name table; lowering interns each once.
using NameId = std::uint32_t;

// One IR record: the operation with the operands of its instruction (see `Instruction`), names
// as NameIds and payloads that need a side table as indices into the builder's tables.
struct IrInstr {
    PyOpcode op = PyOpcode::Halt;
    std::uint8_t flag = 0;
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    SourceSpan span;
};

inline constexpr std::uint32_t kOpenTarget = 0xFFFFFFFFu;

struct IrCallSite {
    std::vector<std::pair<bool, NameId>> keyword_names;  // present, name
    std::vector<std::uint8_t> flags;
    std::uint32_t positional_count = 0;
};

struct IrFunction {
    CodeObjectPtr code;
    std::uint32_t default_count = 0;
    NameId name = 0;
};

struct IrClass {
    CodeObjectPtr code;
    std::vector<std::string> annotated_names;
    std::uint32_t base_count = 0;
    NameId name = 0;
    bool has_metaclass = false;
};

struct ParamSpec {
    NameId name = 0;
    bool has_default = false;
    ParamKind kind = ParamKind::PositionalOrKeyword;
};

// Everything one compilation shares: the tree, the host and the name table.
class CompileContext {
public:
    CompileContext(const PyModuleTree& tree, CodeHost& host);

    const PyModuleTree& tree;
    CodeHost& host;

    NameId name(std::string_view text);
    NameId name(TextId id);
    std::string_view name_text(NameId id) const { return names_[id]; }
    std::size_t name_count() const { return names_.size(); }

    // Symbols by NameId, interned on first use.
    std::uint32_t symbol(NameId id);

    // Inlined finally bodies can multiply the code of a small source; past this many
    // instructions in one compilation, every further statement compiles to a deferred error.
    std::uint64_t instruction_limit = 0;
    std::uint64_t emitted = 0;
    bool over_limit() const { return emitted > instruction_limit; }

    // Scratch for lowering: the local slot of each NameId plus one (0: not a local).
    std::vector<std::uint32_t> slot_scratch;

private:
    struct StringHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::vector<std::string> names_;
    std::unordered_map<std::string, NameId, StringHash, std::equal_to<>> index_;
    std::vector<NameId> by_text_;    // tree text id -> NameId plus one
    std::vector<std::uint32_t> symbols_;  // NameId -> symbol plus one (0: not interned yet)
};

enum class ScopeKind : std::uint8_t { Plain, Comprehension, ClassComprehension };

struct ComprehensionScope {
    ScopeKind kind = ScopeKind::Plain;
    std::uint32_t depth = 0;
    std::vector<NameId> globals;
    std::vector<NameId> nonlocals;
};

struct LoopRecord {
    std::vector<std::uint32_t> break_jumps;
    std::uint32_t continue_target = 0;
    std::uint32_t unwind_depth = 0;
    bool pops_iterator = false;
};

// What leaving a protected region early must do. `handler_active`: the region runs under a
// SetupExcept of its own, which an early exit pops before anything else.
struct UnwindEntry {
    enum class Kind : std::uint8_t { Finally, WithExit, AsyncWithExit, ExceptHandler };
    Kind kind = Kind::Finally;
    bool handler_active = false;
    StmtList finally_body;  // Finally
    NameId context = 0;     // AsyncWithExit: the hidden name holding the context manager
};

class PyCompiler {
public:
    static constexpr std::uint32_t kMaxNesting = 256;
    // The instruction limit of a compilation: a fixed allowance plus a multiple of the tree's
    // size, never more than the absolute cap.
    static constexpr std::uint64_t kBaseInstructions = 1u << 16;
    static constexpr std::uint64_t kInstructionsPerNode = 16;
    static constexpr std::uint64_t kMaxInstructions = 1u << 22;

    explicit PyCompiler(CompileContext& context) : ctx_(context), tree_(context.tree) {}

    // --- bookkeeping
    std::uint32_t emit(PyOpcode op, const SourceSpan& span, std::uint32_t a = 0, std::uint32_t b = 0,
                       std::uint8_t flag = 0);
    std::uint32_t emit_jump(PyOpcode op, const SourceSpan& span) { return emit(op, span, kOpenTarget); }
    std::uint32_t here() const { return static_cast<std::uint32_t>(ir.size()); }
    void patch_jump(std::uint32_t index, std::uint32_t target);
    void patch_handler(std::uint32_t index, std::uint32_t target);
    // Removes the innermost loop (before its else clause is compiled); `patch_breaks` then
    // sends its breaks past the else clause.
    LoopRecord pop_loop();
    void patch_breaks(const LoopRecord& record);
    void unwind_to(std::uint32_t depth, const SourceSpan& span);
    std::uint32_t emit_syntax_error(std::string_view message, const SourceSpan& span);
    std::uint32_t emit_name(PyOpcode op, NameId name, const SourceSpan& span) { return emit(op, span, name); }
    std::uint32_t emit_const(CodeConstant c, const SourceSpan& span);
    std::uint32_t emit_call(PyOpcode op, IrCallSite site, const SourceSpan& span);
    std::uint32_t emit_simple_call(std::uint32_t positional, const SourceSpan& span);

    void compile_body(StmtList body);
    void compile_statement(StmtId id);
    void compile_expression(ExprId id);
    void compile_store(TargetId target, const SourceSpan& span);
    void compile_delete(TargetId target, const SourceSpan& span);
    void store_name(NameId name, const SourceSpan& span);

    // Lowers this unit into its code object; the builder is spent afterwards.
    CodeObjectPtr finish_code(const std::vector<ParamSpec>& params);

    bool in(const std::vector<NameId>& set, NameId name) const;

    // The docstring of a module, def or class body.
    std::shared_ptr<const std::string> body_docstring(StmtList body) const;

    // Creating nested units.
    std::unique_ptr<PyCompiler> nested() const;
    ComprehensionScope comprehension_scope() const;

    // Fields set by the creator.
    ComprehensionScope scope;
    std::uint32_t depth = 0;
    bool is_function = false;
    bool is_async = false;
    bool is_class_body = false;
    std::shared_ptr<const std::string> docstring;
    std::vector<NameId> globals;
    std::vector<NameId> nonlocals;

private:
    void compile_statement_kind(StmtId id);
    void compile_expression_kind(ExprId id);
    void compile_store_target(TargetId target, const SourceSpan& span);
    void compile_delete_target(TargetId target, const SourceSpan& span);
    // An attribute or subscript target: its object (and index), then `attr_op` or `subscript_op`.
    void compile_member_target(const Target& t, PyOpcode attr_op, PyOpcode subscript_op, const SourceSpan& span);

    // The body of a while or for loop from its head `start`, then the else clause, where
    // `exit_jump` (the loop's exhaustion test) lands.
    void compile_loop(std::uint32_t start, std::uint32_t exit_jump, StmtList body, StmtList orelse,
                      bool pops_iterator, const SourceSpan& span);
    void compile_loop_exit(bool is_break, const SourceSpan& span);
    void compile_aug_assign(const Stmt::AugAssign& s, const SourceSpan& span);
    void compile_async_for(const Stmt::AsyncFor& s, const SourceSpan& span);
    void compile_function_def(const Stmt::FunctionDef& s, const SourceSpan& span);
    void compile_class_def(const Stmt::ClassDef& s, const SourceSpan& span);
    void compile_decorated(const Stmt::Decorated& s, const SourceSpan& span);
    void compile_try(const Stmt::Try& s, const SourceSpan& span);
    void compile_with(const Stmt::With& s, const SourceSpan& span);
    void compile_async_with(const Stmt::AsyncWith& s, const SourceSpan& span);
    void emit_async_exit_call(NameId context, const SourceSpan& span);

    std::uint32_t function_defaults(NodeList<Parameter> params);
    std::vector<ParamSpec> param_specs(NodeList<Parameter> params);
    void compile_call(const Expr::Call& call, const SourceSpan& span);
    void compile_compare(const Expr::Compare& cmp, const SourceSpan& span);
    void compile_sequence_display(std::uint8_t kind, ExprList elements, const SourceSpan& span);
    // kind: 0 list, 1 set, 2 dict, 3 generator expression.
    void compile_comprehension(std::uint8_t kind, ExprId element, ExprId value,
                               NodeList<Comprehension> clauses, const SourceSpan& span);
    void compile_comprehension_loop(std::uint8_t kind, ExprId element, ExprId value,
                                    std::span<const Comprehension> clauses, std::size_t i,
                                    NameId result, const SourceSpan& span);
    std::vector<std::string> class_annotated_names(StmtList body) const;
    void declare(std::vector<NameId>& set, TextList names);

    CompileContext& ctx_;
    const PyModuleTree& tree_;

public:
    // The unit's IR and side tables, in emission order.
    std::vector<IrInstr> ir;
    std::vector<CodeConstant> constants;
    std::vector<IrCallSite> call_sites;
    std::vector<IrFunction> functions;
    std::vector<IrClass> classes;
    std::vector<FormatFieldInfo> format_fields;
    std::vector<std::vector<std::uint8_t>> flag_lists;
    std::vector<std::string> syntax_messages;
    std::vector<LoopRecord> loops;
    std::vector<UnwindEntry> unwind;
};

// Turns a finished builder into its code object (lower.cpp).
CodeObjectPtr lower_code(PyCompiler& compiler, CompileContext& context, const std::vector<ParamSpec>& params,
                         CodeKind kind);

}  // namespace tw::pycompile
