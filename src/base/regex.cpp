#include "base/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>

#include "base/panic.h"

namespace tw {

namespace {

// Fixed bounds of every match. The match limit caps the number of backtracking steps, the depth
// limit the nesting of backtracking points and the heap limit (KiB) the memory the interpreter
// may take for them; the JIT's own stack is capped separately. Together they keep any pattern,
// however pathological, from holding the worker for more than a moment.
constexpr std::uint32_t kMatchLimit = kRegexMatchLimit;
constexpr std::uint32_t kDepthLimit = 500'000;
constexpr std::uint32_t kHeapLimitKiB = 64 * 1024;
constexpr std::size_t kJitStackStart = 32 * 1024;
constexpr std::size_t kJitStackMax = 8 * 1024 * 1024;

std::string engine_message(int code) {
    PCRE2_UCHAR buffer[256];
    const int n = pcre2_get_error_message(code, buffer, sizeof buffer);
    if (n < 0) return fmt::format("regular expression engine error {}", code);
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

RegexError match_error(int code) {
    RegexError e;
    switch (code) {
        case PCRE2_ERROR_MATCHLIMIT: e.kind = RegexError::Kind::MatchLimit; break;
        case PCRE2_ERROR_DEPTHLIMIT: e.kind = RegexError::Kind::DepthLimit; break;
        case PCRE2_ERROR_HEAPLIMIT: e.kind = RegexError::Kind::HeapLimit; break;
        default: e.kind = RegexError::Kind::Other; break;
    }
    e.message = engine_message(code);
    return e;
}

// The match context of this host thread: the limits above and a bounded JIT stack. A JIT stack
// must not be used by two threads at once, hence one per thread; nothing else is shared.
class MatchEnvironment {
public:
    MatchEnvironment() {
        context_ = pcre2_match_context_create(nullptr);
        expect(context_ != nullptr, "regex: cannot allocate a match context");
        pcre2_set_match_limit(context_, kMatchLimit);
        pcre2_set_depth_limit(context_, kDepthLimit);
        pcre2_set_heap_limit(context_, kHeapLimitKiB);
        // Without a stack of its own the JIT runs on a small fixed area of the machine stack,
        // which is bounded too; this one only gives it more room.
        stack_ = pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr);
        if (stack_ != nullptr) pcre2_jit_stack_assign(context_, nullptr, stack_);
    }
    ~MatchEnvironment() {
        pcre2_match_context_free(context_);
        if (stack_ != nullptr) pcre2_jit_stack_free(stack_);
    }
    MatchEnvironment(const MatchEnvironment&) = delete;
    MatchEnvironment& operator=(const MatchEnvironment&) = delete;

    pcre2_match_context* context() const { return context_; }

private:
    pcre2_match_context* context_ = nullptr;
    pcre2_jit_stack* stack_ = nullptr;
};

pcre2_match_context* thread_match_context() {
    thread_local MatchEnvironment environment;
    return environment.context();
}

// The match limit in force on this host thread (RegexMatchLimit).
thread_local std::uint32_t thread_match_limit = kMatchLimit;

// The payer of this host thread's searches (RegexPayScope); none: every search runs under
// thread_match_limit at once.
thread_local RegexPayer* thread_payer = nullptr;

// The answer of a search whose payer refused to pay for more steps (no engine code).
constexpr int kRefusedCode = std::numeric_limits<int>::min();

RegexError refused_error() {
    RegexError e;
    e.kind = RegexError::Kind::Refused;
    e.message = "regular expression work exceeds the CPU budget";
    return e;
}

std::uint32_t match_options(MatchFlags flags) {
    std::uint32_t o = 0;
    if (flags.notbol) o |= PCRE2_NOTBOL;
    if (flags.noteol) o |= PCRE2_NOTEOL;
    if (flags.notempty) o |= PCRE2_NOTEMPTY;
    if (flags.notempty_atstart) o |= PCRE2_NOTEMPTY_ATSTART;
    return o;
}

}  // namespace

struct RegexCode {
    pcre2_code* code = nullptr;
    std::uint64_t id = 0;  // unique per compilation, never reused (keys the per-thread match data)
    std::string pattern;
    RegexOptions options;
    std::size_t groups = 0;
    bool jit = false;
    std::vector<NamedGroup> names;  // sorted by name, then number

    RegexCode() = default;
    RegexCode(const RegexCode&) = delete;
    RegexCode& operator=(const RegexCode&) = delete;
    ~RegexCode() { pcre2_code_free(code); }
};

struct MatchScratch {
    pcre2_match_data* data = nullptr;
    ~MatchScratch() { pcre2_match_data_free(data); }
};

void MatchScratchDeleter::operator()(MatchScratch* scratch) const { delete scratch; }

namespace {

std::unique_ptr<MatchScratch, MatchScratchDeleter> make_scratch(const RegexCode& code) {
    std::unique_ptr<MatchScratch, MatchScratchDeleter> scratch(new MatchScratch);
    scratch->data = pcre2_match_data_create_from_pattern(code.code, nullptr);
    expect(scratch->data != nullptr, "regex: cannot allocate match data");
    return scratch;
}

std::atomic<std::uint64_t> next_code_id{1};

// The match data of the last few expressions this host thread matched with Regex::find,
// matches and full_match, kept so that repeated searches (one per line) allocate nothing.
// Entries belong to one compiled expression each, keyed by its id: match data sized from that
// expression, whose retained backtracking frames grow in that expression's own steps, so the
// heap limit trips exactly where it would with fresh match data. The engine never calls back
// into this code during a match, so one entry is never used by two searches at once.
class ScratchCache {
public:
    ScratchCache() = default;
    ScratchCache(const ScratchCache&) = delete;
    ScratchCache& operator=(const ScratchCache&) = delete;

    MatchScratch& get(const RegexCode& code) {
        for (Entry& e : entries_)
            if (e.id == code.id && e.scratch) return *e.scratch;
        Entry& e = entries_[victim_];
        victim_ = (victim_ + 1) % entries_.size();
        e.scratch = make_scratch(code);
        e.id = code.id;
        return *e.scratch;
    }
    // Lets go of an expression's match data (after a failed match, which may have left a
    // large frame vector behind).
    void drop(const RegexCode& code) {
        for (Entry& e : entries_)
            if (e.id == code.id) {
                e.scratch.reset();
                e.id = 0;
            }
    }

private:
    struct Entry {
        std::uint64_t id = 0;
        std::unique_ptr<MatchScratch, MatchScratchDeleter> scratch;
    };
    std::array<Entry, 4> entries_;
    std::size_t victim_ = 0;
};

ScratchCache& thread_scratch() {
    thread_local ScratchCache cache;
    return cache;
}

}  // namespace

RegexMatchLimit::RegexMatchLimit(std::uint32_t limit) : saved_(thread_match_limit) {
    thread_match_limit = std::min(limit, kMatchLimit);
    pcre2_set_match_limit(thread_match_context(), thread_match_limit);
}

RegexMatchLimit::~RegexMatchLimit() {
    thread_match_limit = saved_;
    pcre2_set_match_limit(thread_match_context(), thread_match_limit);
}

RegexPayScope::RegexPayScope(RegexPayer& payer) : saved_(thread_payer) { thread_payer = &payer; }

RegexPayScope::~RegexPayScope() { thread_payer = saved_; }

namespace {

// One call of the engine: the engine's answer (> 0 for a match, PCRE2_ERROR_NOMATCH, or another
// negative code). `start` must not be past the end of the subject.
int engine_call(const RegexCode& code, MatchScratch& scratch, std::string_view subject, std::size_t start,
                std::uint32_t options) {
    // The engine refuses a null pointer even with length 0 (a default string_view has one).
    const auto* bytes = reinterpret_cast<PCRE2_SPTR>(subject.data() ? subject.data() : "");
    pcre2_match_context* context = thread_match_context();
    int rc = pcre2_match(code.code, bytes, subject.size(), start, options, scratch.data, context);
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
        // The JIT ran out of its bounded stack; the interpreter, bounded by the depth and heap
        // limits instead, may still finish. Either way the answer stays the same expression's.
        rc = pcre2_match(code.code, bytes, subject.size(), start, options | PCRE2_NO_JIT, scratch.data,
                         context);
    }
    return rc;
}

// One search: engine_call under the thread's match limit, or, with a payer on this thread, under
// a limit of `free_steps` that grows while the payer pays (kRefusedCode when it refuses).
int engine_match(const RegexCode& code, MatchScratch& scratch, std::string_view subject, std::size_t start,
                 std::uint32_t options, std::uint64_t free_steps) {
    RegexPayer* payer = thread_payer;
    if (payer == nullptr) return engine_call(code, scratch, subject, start, options);
    pcre2_match_context* context = thread_match_context();
    const std::uint32_t ceiling = thread_match_limit;
    std::uint32_t limit = static_cast<std::uint32_t>(std::min<std::uint64_t>(free_steps, ceiling));
    int rc = 0;
    for (;;) {
        pcre2_set_match_limit(context, limit);
        rc = engine_call(code, scratch, subject, start, options);
        if (rc != PCRE2_ERROR_MATCHLIMIT || limit >= ceiling) break;
        limit = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(std::max<std::uint64_t>(std::uint64_t{limit} * 4, 256), ceiling));
        if (!payer->pay(limit / kRegexStepsPerUnit)) {
            rc = kRefusedCode;
            break;
        }
    }
    pcre2_set_match_limit(context, ceiling);
    return rc;
}

// The steps a search from `start` gets for the bytes it is handed.
std::uint64_t subject_steps(std::string_view subject, std::size_t start) {
    return 2 + (subject.size() - std::min(start, subject.size()));
}

RegexError search_error(int rc) { return rc == kRefusedCode ? refused_error() : match_error(rc); }

}  // namespace

// One search with the thread's match data for the expression.
Result<std::optional<Match>, RegexError> Regex::run_cached(std::string_view subject, std::size_t start,
                                                           std::uint32_t options) const {
    if (start > subject.size()) return std::optional<Match>{};
    ScratchCache& cache = thread_scratch();
    auto r = run(code_, cache.get(*code_), subject, start, options, subject_steps(subject, start));
    if (!r) cache.drop(*code_);
    return r;
}

// One search. Answers nullopt for no match and for a start past the end of the subject.
Result<std::optional<Match>, RegexError> Regex::run(
    const std::shared_ptr<const RegexCode>& code, MatchScratch& scratch, std::string_view subject,
    std::size_t start, std::uint32_t options, std::uint64_t free_steps) {
    if (start > subject.size()) return std::optional<Match>{};
    const int rc = engine_match(*code, scratch, subject, start, options, free_steps);
    if (rc == PCRE2_ERROR_NOMATCH) return std::optional<Match>{};
    if (rc < 0) return std::unexpected(search_error(rc));
    // The match data was sized from the pattern, so every group has its pair (rc > 0).
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(scratch.data);
    const std::uint32_t pairs = pcre2_get_ovector_count(scratch.data);
    Match m;
    m.groups_.resize(code->groups + 1);
    for (std::size_t i = 0; i < m.groups_.size() && i < pairs && i < static_cast<std::size_t>(rc);
         ++i) {
        if (ovector[2 * i] == PCRE2_UNSET) continue;
        m.groups_[i] = Span{ovector[2 * i], ovector[2 * i + 1]};
    }
    m.code_ = code;
    return std::optional<Match>(std::move(m));
}

std::string error_text(const RegexError& error) {
    if (error.kind == RegexError::Kind::Compile)
        return fmt::format("{} at offset {}", error.message, error.offset);
    return error.message;
}

Span Match::named(std::string_view name) const {
    if (!code_) return Span{};
    for (const NamedGroup& g : code_->names) {
        if (g.name == name && g.number < groups_.size() && groups_[g.number].matched())
            return groups_[g.number];
    }
    return Span{};
}

namespace {

// With Unicode properties the engine reads [:upper:] and [:lower:] as \p{Lu} and \p{Ll}, which
// caseless matching leaves alone, so `-i '[[:upper:]]'` would miss "a". Under caseless matching
// both become \p{L&} (any cased letter), as case-insensitive matching means. `shifts` records,
// for each replacement, the rewritten offset after it and how many bytes shorter the text is
// there, so that compile error offsets can be given in the caller's pattern.
struct Rewritten {
    std::string pattern;
    std::vector<std::pair<std::size_t, std::size_t>> shifts;
};

std::optional<Rewritten> caseless_posix_classes(std::string_view pattern) {
    if (pattern.find("[:upper:]") == std::string_view::npos && pattern.find("[:lower:]") == std::string_view::npos &&
        pattern.find("[:^upper:]") == std::string_view::npos && pattern.find("[:^lower:]") == std::string_view::npos)
        return std::nullopt;
    Rewritten out;
    std::size_t removed = 0;
    bool in_class = false;
    std::size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i];
        if (c == '\\') {
            if (i + 1 < pattern.size() && pattern[i + 1] == 'Q') {
                const std::size_t end = pattern.find("\\E", i + 2);
                const std::size_t stop = end == std::string_view::npos ? pattern.size() : end + 2;
                out.pattern.append(pattern.substr(i, stop - i));
                i = stop;
                continue;
            }
            out.pattern.append(pattern.substr(i, std::min<std::size_t>(2, pattern.size() - i)));
            i += 2;
            continue;
        }
        if (!in_class) {
            out.pattern += c;
            ++i;
            if (c == '[') {
                in_class = true;
                // A leading ^ and a leading ] belong to the class.
                if (i < pattern.size() && pattern[i] == '^') out.pattern += pattern[i++];
                if (i < pattern.size() && pattern[i] == ']') out.pattern += pattern[i++];
            }
            continue;
        }
        if (c == ']') {
            in_class = false;
            out.pattern += c;
            ++i;
            continue;
        }
        if (c == '[' && i + 1 < pattern.size() && pattern[i + 1] == ':') {
            const std::size_t end = pattern.find(":]", i + 2);
            if (end != std::string_view::npos) {
                const std::string_view name = pattern.substr(i, end + 2 - i);
                const char* replacement = nullptr;
                if (name == "[:upper:]" || name == "[:lower:]") replacement = "\\p{L&}";
                if (name == "[:^upper:]" || name == "[:^lower:]") replacement = "\\P{L&}";
                if (replacement != nullptr) {
                    out.pattern += replacement;
                    removed += name.size() - std::string_view(replacement).size();
                    out.shifts.emplace_back(out.pattern.size(), removed);
                } else {
                    out.pattern.append(name);
                }
                i = end + 2;
                continue;
            }
        }
        out.pattern += c;
        ++i;
    }
    return out;
}

// A compile error offset in the rewritten text, given in the caller's pattern.
std::size_t original_offset(const Rewritten& rewritten, std::size_t offset) {
    std::size_t removed = 0;
    for (const auto& [at, total] : rewritten.shifts)
        if (at <= offset) removed = total;
    return offset + removed;
}

}  // namespace

Result<Regex, RegexError> Regex::compile(std::string_view pattern, RegexOptions options) {
    std::uint32_t flags = 0;
    if (options.caseless) flags |= PCRE2_CASELESS;
    if (options.anchored) flags |= PCRE2_ANCHORED;
    if (options.end_anchored) flags |= PCRE2_ENDANCHORED;
    if (options.utf) {
        // Subjects with invalid UTF-8 still match (the bad bytes match nothing); \C, which could
        // end a match inside a character, is refused so that every offset is a boundary.
        flags |= PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
    }
    if (options.literal) {
        // A fixed string: only the options above mean anything for it (and the engine refuses
        // the others together with a literal pattern).
        flags |= PCRE2_LITERAL;
    } else {
        if (options.multiline) flags |= PCRE2_MULTILINE;
        if (options.dotall) flags |= PCRE2_DOTALL;
        if (options.extended) flags |= PCRE2_EXTENDED;
        if (options.dollar_endonly) flags |= PCRE2_DOLLAR_ENDONLY;
        if (options.utf) flags |= PCRE2_NEVER_BACKSLASH_C;
        if (options.utf && options.ucp) flags |= PCRE2_UCP;
    }

    std::optional<Rewritten> rewritten;
    if ((flags & PCRE2_UCP) != 0 && (flags & PCRE2_CASELESS) != 0) rewritten = caseless_posix_classes(pattern);
    const std::string_view source = rewritten ? std::string_view(rewritten->pattern) : pattern;

    int error_code = 0;
    PCRE2_SIZE error_offset = 0;
    pcre2_code* compiled =
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data() ? source.data() : ""),
                      source.size(), flags,
                      &error_code, &error_offset, nullptr);
    if (compiled == nullptr) {
        RegexError e;
        e.kind = RegexError::Kind::Compile;
        e.message = engine_message(error_code);
        e.offset = rewritten ? original_offset(*rewritten, error_offset) : error_offset;
        return std::unexpected(std::move(e));
    }

    auto code = std::make_shared<RegexCode>();
    code->code = compiled;
    code->id = next_code_id.fetch_add(1, std::memory_order_relaxed);
    code->pattern = std::string(pattern);
    code->options = options;
    // Without JIT support, or when the JIT refuses the pattern, the interpreter runs it.
    code->jit = pcre2_jit_compile(compiled, PCRE2_JIT_COMPLETE) == 0;

    std::uint32_t capture_count = 0;
    pcre2_pattern_info(compiled, PCRE2_INFO_CAPTURECOUNT, &capture_count);
    code->groups = capture_count;

    std::uint32_t name_count = 0;
    std::uint32_t entry_size = 0;
    PCRE2_SPTR table = nullptr;
    pcre2_pattern_info(compiled, PCRE2_INFO_NAMECOUNT, &name_count);
    if (name_count > 0) {
        pcre2_pattern_info(compiled, PCRE2_INFO_NAMEENTRYSIZE, &entry_size);
        pcre2_pattern_info(compiled, PCRE2_INFO_NAMETABLE, &table);
        code->names.reserve(name_count);
        for (std::uint32_t i = 0; i < name_count; ++i) {
            // Each entry: the group number in two bytes, most significant first, then the
            // name, NUL-terminated and padded to the entry size.
            PCRE2_SPTR entry = table + static_cast<std::size_t>(i) * entry_size;
            NamedGroup g;
            g.number = (static_cast<std::size_t>(entry[0]) << 8) | entry[1];
            g.name = std::string(reinterpret_cast<const char*>(entry + 2));
            code->names.push_back(std::move(g));
        }
        std::sort(code->names.begin(), code->names.end(),
                  [](const NamedGroup& a, const NamedGroup& b) {
                      return a.name != b.name ? a.name < b.name : a.number < b.number;
                  });
    }
    return Regex(std::shared_ptr<const RegexCode>(std::move(code)));
}

Result<std::optional<Match>, RegexError> Regex::find(std::string_view subject, std::size_t start,
                                                     MatchFlags flags) const {
    return run_cached(subject, start, match_options(flags));
}

Result<std::optional<std::size_t>, RegexError> Regex::find_start(std::string_view subject,
                                                                 std::size_t start) const {
    if (start > subject.size()) return std::optional<std::size_t>{};
    ScratchCache& cache = thread_scratch();
    MatchScratch& scratch = cache.get(*code_);
    const int rc = engine_match(*code_, scratch, subject, start, 0, subject_steps(subject, start));
    if (rc == PCRE2_ERROR_NOMATCH) return std::optional<std::size_t>{};
    if (rc < 0) {
        cache.drop(*code_);
        return std::unexpected(search_error(rc));
    }
    return std::optional<std::size_t>(pcre2_get_ovector_pointer(scratch.data)[0]);
}

Result<bool, RegexError> Regex::matches(std::string_view subject) const {
    // The same search as find(subject), without building the Match.
    ScratchCache& cache = thread_scratch();
    const int rc = engine_match(*code_, cache.get(*code_), subject, 0, 0, subject_steps(subject, 0));
    if (rc == PCRE2_ERROR_NOMATCH) return false;
    if (rc < 0) {
        cache.drop(*code_);
        return std::unexpected(search_error(rc));
    }
    return true;
}

Result<std::optional<Match>, RegexError> Regex::full_match(std::string_view subject,
                                                           MatchFlags flags) const {
    // Anchoring at match time bypasses the JIT; the interpreter honours the same limits.
    return run_cached(subject, 0, match_options(flags) | PCRE2_ANCHORED | PCRE2_ENDANCHORED);
}

Result<std::vector<Match>, RegexError> Regex::find_all(std::string_view subject, std::size_t start,
                                                       EmptyAfterMatch rule,
                                                       std::size_t max_count) const {
    std::vector<Match> out;
    MatchCursor cursor(*this, subject, start, rule);
    while (out.size() < max_count) {
        auto r = cursor.next();
        if (!r) return std::unexpected(std::move(r.error()));
        if (!r->has_value()) break;
        out.push_back(std::move(**r));
    }
    return out;
}

const std::string& Regex::pattern() const { return code_->pattern; }
const RegexOptions& Regex::options() const { return code_->options; }
std::size_t Regex::group_count() const { return code_->groups; }
const std::vector<NamedGroup>& Regex::named_groups() const { return code_->names; }
bool Regex::jit() const { return code_->jit; }

std::vector<std::size_t> Regex::group_numbers(std::string_view name) const {
    std::vector<std::size_t> out;
    for (const NamedGroup& g : code_->names)
        if (g.name == name) out.push_back(g.number);
    return out;
}

bool Regex::operator==(const Regex& other) const {
    return code_ == other.code_ ||
           (code_->pattern == other.code_->pattern && code_->options == other.code_->options);
}

MatchCursor::MatchCursor(Regex regex, std::string_view subject, std::size_t start,
                         EmptyAfterMatch rule, MatchFlags flags)
    : regex_(std::move(regex)),
      subject_(subject),
      position_(start),
      rule_(rule),
      flags_(flags),
      scratch_(make_scratch(*regex_.code_)) {}

Result<std::optional<Match>, RegexError> MatchCursor::next() {
    if (done_ || position_ > subject_.size()) {
        done_ = true;
        return std::optional<Match>{};
    }
    // An empty match may never be found again where the previous match ended if that match was
    // empty (it would repeat forever), nor after any match under the Skipped rule. The engine
    // then looks for a non-empty match at this position or any match further on, stepping by
    // whole characters in UTF mode.
    std::uint32_t options = match_options(flags_);
    if (!first_ && (last_empty_ || rule_ == EmptyAfterMatch::Skipped))
        options |= PCRE2_NOTEMPTY_ATSTART;
    const std::uint64_t steps = first_ ? subject_steps(subject_, position_) : 2 + 2 * covered_;
    auto r = Regex::run(regex_.code_, *scratch_, subject_, position_, options, steps);
    if (!r || !r->has_value()) {
        done_ = true;
        return r;
    }
    const Match& m = **r;
    first_ = false;
    covered_ = std::max(m.end(), position_) - position_;
    // A match ends at or after the search start (\K cannot reach into a lookbehind here), so the
    // cursor never moves backwards; an empty match at the same place is excluded next time.
    const std::size_t end = std::max(m.end(), position_);
    last_empty_ = m.span().empty() || end == position_;
    position_ = end;
    return r;
}

}  // namespace tw
