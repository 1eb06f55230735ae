// find: the command line parsed once at launch into a FindCommand (start paths, an expression
// tree, depth limits), and the resumable state that walks the start paths, evaluates the tree for
// every entry and runs the -exec children.
//
// The expression tree is kept as a table of nodes owned by the FindExpr; a node names its
// operands by their index in that table. The tree deep-copies with its owner like every other
// piece of machine state.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/scheduler.h"

namespace tw {

class SyscallContext;
struct ProgramStep;

// How a measured value must compare with a test's count: "-N" Less, "N" Exact, "+N" Greater.
enum class FindCompare : std::int8_t { Less = -1, Exact = 0, Greater = 1 };

// How -perm compares: "MODE" Exact, "-MODE" every bit set, "/MODE" some bit set.
enum class PermMatch : std::uint8_t { Exact = 0, AllOf = 1, AnyOf = 2 };

using FindNodeId = std::uint32_t;

namespace find_expr {

struct True {
    friend bool operator==(const True&, const True&) = default;
};
struct Prune {
    friend bool operator==(const Prune&, const Prune&) = default;
};
struct Type {
    char letter = 'f';  // 'd', 'f' or 'l'
    friend bool operator==(const Type&, const Type&) = default;
};
struct Name {
    std::string pattern;
    friend bool operator==(const Name&, const Name&) = default;
};
struct IName {
    std::string pattern;  // already lowercased
    friend bool operator==(const IName&, const IName&) = default;
};
struct Path {
    std::string pattern;
    friend bool operator==(const Path&, const Path&) = default;
};
struct Empty {
    friend bool operator==(const Empty&, const Empty&) = default;
};
struct Newer {
    std::string reference;  // as typed
    friend bool operator==(const Newer&, const Newer&) = default;
};
struct Size {
    std::uint64_t count = 0;
    std::uint64_t unit = 512;  // bytes per unit
    FindCompare comparison = FindCompare::Exact;
    friend bool operator==(const Size&, const Size&) = default;
};
struct Perm {
    std::uint32_t mode = 0;
    PermMatch kind = PermMatch::Exact;
    friend bool operator==(const Perm&, const Perm&) = default;
};
struct Age {
    std::uint64_t count = 0;
    std::uint64_t unit = 0;  // milliseconds per unit
    FindCompare comparison = FindCompare::Exact;
    friend bool operator==(const Age&, const Age&) = default;
};
struct Print {
    bool nul = false;
    friend bool operator==(const Print&, const Print&) = default;
};
struct Delete {
    friend bool operator==(const Delete&, const Delete&) = default;
};
struct Exec {
    std::optional<std::uint64_t> batch;  // absent: one command per entry (";"); else the "+" batch id
    std::vector<std::string> words;
    bool in_directory = false;  // -execdir
    friend bool operator==(const Exec&, const Exec&) = default;
};
struct Not {
    FindNodeId operand = 0;
    friend bool operator==(const Not&, const Not&) = default;
};
struct And {
    FindNodeId left = 0;
    FindNodeId right = 0;
    friend bool operator==(const And&, const And&) = default;
};
struct Or {
    FindNodeId left = 0;
    FindNodeId right = 0;
    friend bool operator==(const Or&, const Or&) = default;
};

}  // namespace find_expr

using FindNode = std::variant<find_expr::True, find_expr::Prune, find_expr::Type, find_expr::Name, find_expr::IName,
                              find_expr::Path, find_expr::Empty, find_expr::Newer, find_expr::Size, find_expr::Perm,
                              find_expr::Age, find_expr::Print, find_expr::Delete, find_expr::Exec, find_expr::Not,
                              find_expr::And, find_expr::Or>;

// An expression tree: its nodes and the index of the root.
struct FindExpr {
    std::vector<FindNode> nodes{find_expr::True{}};
    FindNodeId root = 0;

    const FindNode& node(FindNodeId id) const { return nodes[id]; }
    FindNodeId add(FindNode node);
    // A readable form for diagnostics and tests: "And(Name a, Or(Type d, Print))".
    std::string describe() const;
    std::string describe(FindNodeId id) const;
    friend bool operator==(const FindExpr&, const FindExpr&) = default;
};

// The parsed command line.
struct FindCommand {
    std::optional<std::uint64_t> maxdepth;
    FindExpr expression;
    std::vector<std::string> start_paths;  // never empty
    std::uint64_t mindepth = 0;
    std::uint64_t batch_count = 0;
    bool has_action = false;
    bool depth_first = false;
    // The node of each "-exec ... +" by batch id.
    std::vector<FindNodeId> batch_nodes;

    // The arguments after the command name; the error text (without "find: ") on failure.
    static Result<FindCommand, std::string> parse(std::span<const std::string> args);
    friend bool operator==(const FindCommand&, const FindCommand&) = default;
};

// The deepest nesting of parentheses, negations or chained operands the parser accepts.
inline constexpr std::uint64_t kFindMaxNesting = 999;
// The most bytes of queued paths (one separator each) a "-exec ... +" command line receives.
inline constexpr std::uint64_t kFindBatchBytes = 131071;
// Walk steps per program step.
inline constexpr std::uint32_t kFindWalkStepsPerStep = 512;

// ---- the running program ----

struct FindRoot {
    std::string display;   // as typed
    std::string absolute;  // joined to the working directory and normalised
    std::string cwd;       // the working directory when the run started
    friend bool operator==(const FindRoot&, const FindRoot&) = default;
};

struct WalkFrame {
    enum class Kind : std::uint8_t { Visit = 0, Expand = 1, PostVisit = 2 };
    Kind kind = Kind::Visit;
    std::uint64_t depth = 0;
    std::string path;  // absolute
    friend bool operator==(const WalkFrame&, const WalkFrame&) = default;
};

struct FindWalk {
    FindRoot root;
    std::vector<WalkFrame> frames;  // a stack: the last is next
    bool depth_first = false;
    friend bool operator==(const FindWalk&, const FindWalk&) = default;
};

struct EvalFrame {
    enum class Kind : std::uint8_t { Not, And, Or };
    Kind kind = Kind::Not;
    FindNodeId right = 0;  // And, Or: the operand still to evaluate
    friend bool operator==(const EvalFrame&, const EvalFrame&) = default;
};

// The evaluation of the expression for one entry, as an explicit stack machine.
struct FindEvaluation {
    std::optional<FindNodeId> node;  // next to evaluate; absent while a result is awaited or used
    std::string absolute;
    std::string display;
    std::vector<EvalFrame> frames;
    std::optional<bool> result;
    friend bool operator==(const FindEvaluation&, const FindEvaluation&) = default;
};

struct FindChild {
    enum class Kind : std::uint8_t { None, Each, Batch };
    Kind kind = Kind::None;
    Pid pid = 0;
    friend bool operator==(const FindChild&, const FindChild&) = default;
};

namespace program {

struct Find {
    std::optional<FindCommand> command;  // absent when the arguments were refused
    std::string parse_error;
    FindNodeId eval_root = 0;  // the expression, with "-print" added when it has no action
    std::optional<FindEvaluation> pending;
    Bytes output;
    Bytes errors;
    std::vector<FindRoot> roots;  // from next_root on still to walk
    std::size_t next_root = 0;
    std::vector<std::vector<std::string>> batches;
    std::vector<std::uint64_t> batch_bytes;  // queued path bytes per batch, one separator each
    std::optional<FindWalk> walk;
    FindChild child;
    std::uint64_t output_written = 0;
    std::uint64_t errors_written = 0;
    std::int32_t status = 0;
    bool started = false;
    bool batch_failed = false;
    bool finished = false;
    bool prune_pending = false;
    friend bool operator==(const Find&, const Find&) = default;
};

}  // namespace program

// One walk step: continues the pending evaluation, or walks frames up to the next entry to
// evaluate, or runs the batches left at the end. True when it has just started a child.
bool find_walk_step(program::Find& state, SyscallContext& sys);

// One program step of find (the framework has charged its unit already).
ProgramStep step_find(program::Find& state, SyscallContext& sys, std::uint64_t& budget);

}  // namespace tw
