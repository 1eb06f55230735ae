#include "commands/sed/engine.h"

#include <fmt/format.h>

#include <charconv>

#include "base/panic.h"
#include "base/sat.h"
#include "base/utf8.h"
#include "commands/sed/bre.h"
#include "commands/util/options.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

// White space as the script reader sees it (Unicode White_Space).
bool is_space(char32_t c) {
    switch (c) {
    case U'\t': case U'\n': case U'\v': case U'\f': case U'\r': case U' ':
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

bool is_blank(char32_t c) { return c == U' ' || c == U'\t' || c == U'\r'; }

std::string_view trim_space(std::string_view s) {
    // Trims by characters: decode forwards for the start, backwards by boundaries for the end.
    std::size_t begin = 0;
    while (begin < s.size()) {
        std::size_t next = begin;
        if (!is_space(utf8_next_char(s, next))) break;
        begin = next;
    }
    std::size_t end = s.size();
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        std::size_t probe = start;
        if (!is_space(utf8_next_char(s, probe))) break;
        end = start;
    }
    return s.substr(begin, end - begin);
}

std::string char_text(char32_t c) {
    std::string s;
    utf8_append(s, c);
    return s;
}

// Expressions of sed see the pattern space as one text: "." also matches a newline put there by
// a substitution, and "$" matches only at its very end.
Result<Regex, RegexError> compile_for_sed(std::string_view pattern, bool caseless) {
    RegexOptions options;
    options.caseless = caseless;
    options.dotall = true;
    options.dollar_endonly = true;
    return Regex::compile(pattern, options);
}

// Translates (unless extended) and compiles. The translator's error comes back as it is, the
// engine's with `prefix` before it.
Result<Regex, std::string> compile_expression(std::string_view pattern, bool extended, bool caseless,
                                              std::string_view prefix) {
    std::string translated;
    if (extended) {
        translated = ere_word_anchors(pattern);
    } else {
        auto t = bre_to_regex(pattern);
        if (!t) return std::unexpected(std::move(t.error()));
        translated = std::move(*t);
    }
    auto r = compile_for_sed(translated, caseless);
    if (!r) return std::unexpected(fmt::format("{}{}", prefix, error_text(r.error())));
    return std::move(*r);
}

std::vector<SedReplacementPart> parse_expansion(std::string_view t) {
    std::vector<SedReplacementPart> parts;
    auto literal = [&]() -> std::string& {
        if (parts.empty() || parts.back().group != SedReplacementPart::kLiteral) parts.push_back({});
        return parts.back().literal;
    };
    std::size_t i = 0;
    while (i < t.size()) {
        if (t[i] == '$' && i + 1 < t.size()) {
            if (t[i + 1] == '$') {
                literal() += '$';
                i += 2;
                continue;
            }
            if (t[i + 1] == '{') {
                const std::size_t close = t.find('}', i + 2);
                std::size_t n = 0;
                if (close != std::string_view::npos && close > i + 2) {
                    const char* b = t.data() + i + 2;
                    const char* e = t.data() + close;
                    auto [ptr, ec] = std::from_chars(b, e, n);
                    if (ec == std::errc{} && ptr == e) {
                        parts.push_back({std::string(), n});
                        i = close + 1;
                        continue;
                    }
                }
            }
        }
        literal() += t[i];
        ++i;
    }
    return parts;
}

}  // namespace

// ---- script model ----

SedSubstitute SedSubstitute::make(Regex regex, std::string replacement, std::uint64_t occurrence, bool global,
                                  bool print) {
    SedSubstitute s{std::move(replacement), std::move(regex), occurrence, global, print, {}};
    s.parts = parse_expansion(s.replacement);
    return s;
}

void sed_expand(std::string& out, std::span<const SedReplacementPart> parts, const Match& match,
                std::string_view subject) {
    for (const SedReplacementPart& part : parts) {
        if (part.group == SedReplacementPart::kLiteral) out += part.literal;
        else out += match.text(subject, part.group);
    }
}

// ---- script text ----

char32_t SedParser::peek() const {
    if (at_end()) return kEnd;
    std::size_t p = pos_;
    return utf8_next_char(text_, p);
}

char32_t SedParser::bump() {
    if (at_end()) return kEnd;
    return utf8_next_char(text_, pos_);
}

bool SedParser::eat(char32_t c) {
    if (peek() != c) return false;
    bump();
    return true;
}

char32_t SedParser::skip_blanks() {
    while (is_blank(peek())) bump();
    return peek();
}

char32_t SedParser::skip_separators() {
    for (;;) {
        const char32_t c = peek();
        if (c == kEnd) return c;
        if (is_space(c) || c == U';') {
            bump();
            continue;
        }
        if (c == U'#') {
            const std::size_t nl = text_.find('\n', pos_);
            pos_ = nl == std::string_view::npos ? text_.size() : nl;
            continue;
        }
        return c;
    }
}

Result<char32_t, std::string> SedParser::next_char() const {
    if (at_end()) return std::unexpected(std::string("missing delimiter"));
    return peek();
}

Result<SedParser::Delimited, std::string> SedParser::read_delimiter() {
    if (at_end()) return std::unexpected(std::string("missing delimiter"));
    const char32_t d = bump();
    if (d == U'\n') return std::unexpected(std::string("newline cannot be a delimiter"));
    auto text = read_delimited(d);
    if (!text) return std::unexpected(std::move(text.error()));
    return Delimited{d, std::move(*text)};
}

Result<std::string, std::string> SedParser::read_delimited(char32_t delimiter, bool keep_escaped_delimiter) {
    std::string out;
    for (;;) {
        const char32_t c = bump();
        if (c == kEnd || c == U'\n') return std::unexpected(std::string("unterminated delimited expression"));
        if (c == delimiter) return out;
        if (c == U'\\') {
            const char32_t n = bump();
            if (n == kEnd) return std::unexpected(std::string("unterminated delimited expression"));
            if (n != delimiter || keep_escaped_delimiter) out += '\\';
            utf8_append(out, n);
            continue;
        }
        utf8_append(out, c);
    }
}

std::string SedParser::read_argument() {
    const std::size_t start = pos_;
    const std::size_t stop = text_.find_first_of("\n;", pos_);
    pos_ = stop == std::string_view::npos ? text_.size() : stop;
    return std::string(trim_space(text_.substr(start, pos_ - start)));
}

// The text runs to the end of its line, ";" included. "a text" drops the blanks before the text;
// "a\" followed by a newline keeps them, and "a\text" drops the backslash. A backslash at the end
// of a line continues the text on the next line. In the text, \n is a newline, \t a tab and \\ a
// backslash; any other backslash stays. Trailing white space is dropped.
Result<std::string, std::string> SedParser::text_argument() {
    skip_blanks();
    if (eat(U'\\')) {
        if (!eat(U'\n')) skip_blanks();
    }
    std::string raw;
    while (!at_end()) {
        const char c = text_[pos_];
        if (c == '\n') break;
        if (c == '\\' && pos_ + 1 < text_.size()) {
            if (text_[pos_ + 1] == '\n') {
                raw += '\n';
                pos_ += 2;
                continue;
            }
            raw.append(text_.substr(pos_, 2));
            pos_ += 2;
            continue;
        }
        raw += c;
        ++pos_;
    }
    const std::string_view trimmed = trim_space(raw);
    // The leading blanks of the "a\<newline>" form are kept: trim only the end in that case.
    std::string_view kept(raw);
    kept = kept.substr(0, static_cast<std::size_t>(trimmed.data() + trimmed.size() - raw.data()));
    if (trimmed.empty()) return std::unexpected(std::string("text command requires an argument"));
    std::string out;
    out.reserve(kept.size());
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (kept[i] == '\\' && i + 1 < kept.size()) {
            const char n = kept[i + 1];
            if (n == 'n' || n == 't' || n == '\\') {
                out += n == 'n' ? '\n' : n == 't' ? '\t' : '\\';
                ++i;
                continue;
            }
        }
        out += kept[i];
    }
    return out;
}

Result<std::optional<SedAddress>, std::string> SedParser::parse_address() {
    const char32_t c = skip_blanks();
    if (c >= U'0' && c <= U'9') {
        const std::size_t start = pos_;
        while (peek() >= U'0' && peek() <= U'9') bump();
        const std::string_view digits = text_.substr(start, pos_ - start);
        std::uint64_t n = 0;
        auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
        if (ec != std::errc{} || ptr != digits.data() + digits.size())
            return std::unexpected(fmt::format("invalid line address '{}'", digits));
        if (n == 0) return std::unexpected(std::string("line address must be at least 1"));
        return std::optional<SedAddress>(SedAddress::line_number(n));
    }
    if (eat(U'$')) return std::optional<SedAddress>(SedAddress::last());
    if (c == U'/') {
        auto d = read_delimiter();
        if (!d) return std::unexpected(std::move(d.error()));
        if (d->text.empty()) return std::unexpected(std::string("empty address regex reuse is not supported"));
        auto r = compile_expression(d->text, extended_, false, "invalid address regex: ");
        if (!r) return std::unexpected(std::move(r.error()));
        return std::optional<SedAddress>(SedAddress::pattern(std::move(*r)));
    }
    return std::optional<SedAddress>();
}

std::vector<char32_t> sed_unescape_text(std::string_view text) {
    std::vector<char32_t> out;
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t c = utf8_next_char(text, i);
        if (c == U'\\' && i < text.size()) {
            c = utf8_next_char(text, i);
            if (c == U't') c = U'\t';
            else if (c == U'n') c = U'\n';
        }
        out.push_back(c);
    }
    return out;
}

std::string sed_replacement_template(std::string_view r, char32_t delimiter) {
    std::string out;
    out.reserve(r.size() + 8);
    for (std::size_t i = 0; i < r.size(); ++i) {
        const char c = r[i];
        if (c == '\\' && delimiter != 0 && i + 1 < r.size()) {
            std::size_t next = i + 1;
            if (utf8_next_char(r, next) == delimiter) {
                const std::string_view literal = r.substr(i + 1, next - i - 1);
                out += literal == "$" ? std::string_view("$$") : literal;
                i = next - 1;
                continue;
            }
        }
        if (c == '$') {
            out += "$$";
        } else if (c == '&') {
            out += "${0}";
        } else if (c == '\\' && i + 1 < r.size()) {
            const char n = r[++i];
            if (n >= '0' && n <= '9') {
                out += "${";
                out += n;
                out += '}';
            } else if (n == 't') {
                out += '\t';
            } else if (n == 'n') {
                out += '\n';
            } else if (n == '$') {
                out += "$$";
            } else {
                out += n;  // the bytes of a multi-byte character follow unchanged
            }
        } else {
            out += c;
        }
    }
    return out;
}

Result<Regex, std::string> sed_compile_regex(std::string_view pattern, bool extended, bool caseless) {
    return compile_expression(pattern, extended, caseless, {});
}

namespace {

Result<SedAction, std::string> parse_substitute(SedParser& p) {
    auto pattern = p.read_delimiter();
    if (!pattern) return std::unexpected(std::move(pattern.error()));
    if (pattern->text.empty()) return std::unexpected(std::string("empty regex reuse is not supported"));
    // The escaped delimiter stays marked so that it is literal in the replacement ("\&" with "&"
    // as the delimiter is an ampersand, not the match).
    auto replacement = p.read_delimited(pattern->delimiter, true);
    if (!replacement) return std::unexpected(std::move(replacement.error()));
    const std::string flags = p.read_argument();
    std::string digits;
    bool global = false;
    bool print = false;
    bool caseless = false;
    std::size_t i = 0;
    while (i < flags.size()) {
        const char32_t f = utf8_next_char(flags, i);
        if (f >= U'0' && f <= U'9') digits += static_cast<char>(f);
        else if (f == U'g') global = true;
        else if (f == U'p') print = true;
        else if (f == U'i' || f == U'I') caseless = true;
        else return std::unexpected(fmt::format("unsupported substitution flag '{}'", char_text(f)));
    }
    std::uint64_t occurrence = 0;
    if (!digits.empty()) {
        auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), occurrence);
        if (ec != std::errc{} || ptr != digits.data() + digits.size())
            return std::unexpected(fmt::format("invalid substitution occurrence '{}'", digits));
    }
    auto regex = compile_expression(pattern->text, p.extended(), caseless, "invalid substitution regex: ");
    if (!regex) return std::unexpected(std::move(regex.error()));
    return SedAction(SedSubstitute::make(std::move(*regex), sed_replacement_template(*replacement, pattern->delimiter), occurrence,
                                         global, print));
}

Result<SedAction, std::string> parse_transliterate(SedParser& p) {
    auto source = p.read_delimiter();
    if (!source) return std::unexpected(std::move(source.error()));
    auto target = p.read_delimited(source->delimiter);
    if (!target) return std::unexpected(std::move(target.error()));
    const std::vector<char32_t> from = sed_unescape_text(source->text);
    const std::vector<char32_t> to = sed_unescape_text(*target);
    if (from.size() != to.size()) return std::unexpected(std::string("transliteration strings have different lengths"));
    SedTransliterate t;
    t.pairs.reserve(from.size());
    for (std::size_t i = 0; i < from.size(); ++i) t.pairs.emplace_back(from[i], to[i]);
    return SedAction(std::move(t));
}

}  // namespace

Result<std::vector<SedCommand>, std::string> sed_parse_script(std::string_view piece, bool extended) {
    std::vector<SedCommand> commands;
    SedParser p(piece, extended);
    for (;;) {
        if (p.skip_separators() == SedParser::kEnd) break;
        auto first = p.parse_address();
        if (!first) return std::unexpected(std::move(first.error()));
        std::optional<SedAddress> second;
        if (*first && p.eat(U',')) {
            auto s = p.parse_address();
            if (!s) return std::unexpected(std::move(s.error()));
            if (!*s) return std::unexpected(std::string("missing second range address"));
            second = std::move(*s);
        }
        p.skip_blanks();
        const bool negated = p.eat(U'!');
        const char32_t letter = p.skip_blanks();
        if (letter == SedParser::kEnd || letter == U'\n' || letter == U';')
            return std::unexpected(std::string("missing command after address"));
        p.bump();
        Result<SedAction, std::string> action = std::unexpected(std::string());
        switch (letter) {
        case U'd': action = SedAction(SedDelete{}); break;
        case U'p': action = SedAction(SedPrint{}); break;
        case U'q': action = SedAction(SedQuit{}); break;
        case U'=': action = SedAction(SedLineNumber{}); break;
        case U'a':
        case U'i':
        case U'c': {
            auto text = p.text_argument();
            if (!text) return std::unexpected(std::move(text.error()));
            if (letter == U'a') action = SedAction(SedAppend{std::move(*text)});
            else if (letter == U'i') action = SedAction(SedInsert{std::move(*text)});
            else action = SedAction(SedChange{std::move(*text)});
            break;
        }
        case U's': {
            action = parse_substitute(p);
            if (!action) return std::unexpected(fmt::format("invalid substitution: {}", action.error()));
            break;
        }
        case U'y': {
            action = parse_transliterate(p);
            if (!action) return std::unexpected(std::move(action.error()));
            break;
        }
        default: return std::unexpected(fmt::format("unimplemented command '{}'", char_text(letter)));
        }
        if (letter != U'a' && letter != U'i' && letter != U'c') {
            const char32_t after = p.skip_blanks();
            if (after != SedParser::kEnd && after != U'\n' && after != U';')
                return std::unexpected(fmt::format("unexpected text after '{}' command", char_text(letter)));
        }
        commands.push_back(SedCommand{std::move(*first), std::move(second), std::move(*action), negated, false});
    }
    return commands;
}

// ---- execution ----

std::uint64_t SyscallSedMeter::memory_used() { return sys_.memory_used(); }
bool SyscallSedMeter::charge_cpu(std::uint64_t units) { return sys_.charge_cpu(units); }
bool SyscallSedMeter::charge_memory(std::uint64_t bytes) { return sys_.charge_memory(bytes); }
void SyscallSedMeter::release_memory(std::uint64_t bytes) { sys_.release_memory(bytes); }
std::uint64_t SyscallSedMeter::output_remaining() { return sys_.output_remaining(); }
bool SyscallSedMeter::charge_output(std::uint64_t bytes) { return sys_.charge_output(bytes); }
std::int32_t SyscallSedMeter::exhausted_status() { return sys_.exhausted_status(); }

std::string error_text(const SedStop& stop) { return stop.message; }

namespace {

constexpr std::int32_t kMatchFailureStatus = 2;

// One run of a script: the output, the line state and the budgets.
class SedRun {
public:
    SedRun(SedMeter& meter, std::span<SedCommand> commands, const SedRunOptions& options)
        : meter_(meter), commands_(commands), options_(options) {}

    Result<std::string, SedStop> run(std::span<const std::string_view> inputs);

private:
    enum class LineEnd : std::uint8_t { Next, Deleted, Quit };

    SedStop exhausted() { return SedStop{meter_.exhausted_status(), {}}; }
    // A search that failed: refused by the CPU budget, or stopped by the engine's own limits.
    SedStop match_stop(const RegexError& error) {
        if (error.kind == RegexError::Kind::Refused) return exhausted();
        return SedStop{kMatchFailureStatus, fmt::format("regex match failed: {}", error_text(error))};
    }

    // Appends `text`, then the line delimiter or a newline when asked (a line of output).
    Result<void, SedStop> write(std::string_view text, std::optional<char> terminator);
    Result<bool, SedStop> matches(const SedAddress& address, bool is_last);
    // Whether the command applies to the current line; `mid_range` tells a range that goes on.
    Result<bool, SedStop> applies(SedCommand& command, bool is_last, bool& mid_range);
    Result<void, SedStop> substitute(const SedSubstitute& s);
    void transliterate(const SedTransliterate& t);
    Result<LineEnd, SedStop> run_line(std::string_view line, bool had_delimiter, bool is_last);
    Result<void, SedStop> end_line(bool auto_print, bool had_delimiter);

    SedMeter& meter_;
    std::span<SedCommand> commands_;
    const SedRunOptions& options_;
    std::string out_;
    std::string pattern_;
    std::string scratch_;
    std::vector<std::string_view> appends_;
    std::uint64_t line_number_ = 0;
    // The last line written lacked its delimiter (the input's last line had none): anything
    // written after it starts on a line of its own.
    bool missing_delimiter_ = false;
};

Result<void, SedStop> SedRun::write(std::string_view text, std::optional<char> terminator) {
    const std::uint64_t n = text.size() + (terminator ? 1 : 0) + (missing_delimiter_ ? 1 : 0);
    const std::uint64_t remaining = meter_.output_remaining();
    if (sat_add(out_.size(), n) > remaining) {
        meter_.charge_output(sat_add(remaining, 1));
        return std::unexpected(exhausted());
    }
    if (!meter_.charge_memory(n) || !meter_.charge_cpu(n)) return std::unexpected(exhausted());
    if (missing_delimiter_) {
        out_ += options_.delimiter;
        missing_delimiter_ = false;
    }
    out_ += text;
    if (terminator) out_ += *terminator;
    return {};
}

Result<bool, SedStop> SedRun::matches(const SedAddress& address, bool is_last) {
    switch (address.kind) {
    case SedAddress::Kind::Line: return line_number_ == address.line;
    case SedAddress::Kind::Last: return is_last;
    case SedAddress::Kind::Regex: {
        // The pattern space may have grown far beyond the line that paid for the cycle.
        if (!meter_.charge_cpu(pattern_.size())) return std::unexpected(exhausted());
        auto r = address.regex->matches(pattern_);
        if (!r) return std::unexpected(match_stop(r.error()));
        return *r;
    }
    }
    unreachable("sed address kind");
}

Result<bool, SedStop> SedRun::applies(SedCommand& c, bool is_last, bool& mid_range) {
    mid_range = false;
    bool applies = false;
    if (!c.first) {
        applies = true;
    } else if (!c.second) {
        auto m = matches(*c.first, is_last);
        if (!m) return std::unexpected(std::move(m.error()));
        applies = *m;
    } else if (!c.in_range) {
        auto m = matches(*c.first, is_last);
        if (!m) return std::unexpected(std::move(m.error()));
        if (*m) {
            applies = true;
            const SedAddress& second = *c.second;
            bool ends_here = false;
            switch (second.kind) {
            case SedAddress::Kind::Regex: ends_here = false; break;
            case SedAddress::Kind::Last: ends_here = is_last; break;
            case SedAddress::Kind::Line: ends_here = line_number_ >= second.line; break;
            }
            if (!ends_here) {
                c.in_range = true;
                mid_range = true;
            }
        }
    } else {
        applies = true;
        const SedAddress& second = *c.second;
        bool ends_here = false;
        if (second.kind == SedAddress::Kind::Line) {
            ends_here = line_number_ >= second.line;
        } else {
            auto m = matches(second, is_last);
            if (!m) return std::unexpected(std::move(m.error()));
            ends_here = *m;
        }
        if (ends_here) c.in_range = false;
        else mid_range = true;
    }
    if (c.negated) {
        applies = !applies;
        if (applies) mid_range = false;
    }
    return applies;
}

Result<void, SedStop> SedRun::substitute(const SedSubstitute& s) {
    const std::uint64_t len = pattern_.size();
    const std::uint64_t rlen = s.replacement.size();
    const std::uint64_t memory = sat_add(rlen, sat_mul(len, sat_add(rlen, 1)));
    if (!meter_.charge_memory(memory)) return std::unexpected(exhausted());
    if (!meter_.charge_cpu(sat_add(len, rlen))) {
        meter_.release_memory(memory);
        return std::unexpected(exhausted());
    }
    scratch_.clear();
    std::size_t copied = 0;  // pattern_ bytes before this offset are in scratch_
    std::uint64_t index = 0;
    bool replaced = false;
    MatchCursor cursor(s.regex, pattern_, 0, EmptyAfterMatch::Skipped);
    for (;;) {
        auto next = cursor.next();
        if (!next) {
            meter_.release_memory(memory);
            return std::unexpected(match_stop(next.error()));
        }
        if (!next->has_value()) break;
        const Match& m = **next;
        ++index;
        bool take = false;
        bool last = false;
        if (s.occurrence == 0) {
            take = true;
            last = !s.global;
        } else if (index == s.occurrence) {
            take = true;
            last = !s.global;
        } else if (index > s.occurrence && s.global) {
            take = true;
        }
        if (take) {
            scratch_.append(pattern_, copied, m.start() - copied);
            sed_expand(scratch_, s.parts, m, pattern_);
            copied = m.end();
            replaced = true;
        }
        if (last) break;
    }
    if (replaced) {
        scratch_.append(pattern_, copied, std::string::npos);
        pattern_.swap(scratch_);
    }
    meter_.release_memory(memory);
    if (replaced && s.print) return write(pattern_, options_.delimiter);
    return {};
}

void SedRun::transliterate(const SedTransliterate& t) {
    scratch_.clear();
    std::size_t i = 0;
    while (i < pattern_.size()) {
        char32_t c = utf8_next_char(pattern_, i);
        for (const auto& [from, to] : t.pairs) {
            if (from == c) {
                c = to;
                break;
            }
        }
        utf8_append(scratch_, c);
    }
    pattern_.swap(scratch_);
}

Result<void, SedStop> SedRun::end_line(bool auto_print, bool had_delimiter) {
    if (auto_print && !options_.quiet) {
        auto w = write(pattern_, had_delimiter ? std::optional<char>(options_.delimiter) : std::nullopt);
        if (!w) return w;
        if (!had_delimiter) missing_delimiter_ = true;
    }
    for (std::string_view text : appends_) {
        auto w = write(text, '\n');
        if (!w) return w;
    }
    appends_.clear();
    return {};
}

Result<SedRun::LineEnd, SedStop> SedRun::run_line(std::string_view line, bool had_delimiter, bool is_last) {
    if (!meter_.charge_cpu(sat_add(line.size() + (had_delimiter ? 1 : 0), commands_.size())))
        return std::unexpected(exhausted());
    pattern_.assign(line);
    ++line_number_;
    appends_.clear();
    for (SedCommand& command : commands_) {
        bool mid_range = false;
        auto a = applies(command, is_last, mid_range);
        if (!a) return std::unexpected(std::move(a.error()));
        if (!*a) continue;
        const SedAction& action = command.action;
        Result<void, SedStop> done;
        if (const auto* sub = std::get_if<SedSubstitute>(&action)) {
            done = substitute(*sub);
        } else if (std::holds_alternative<SedDelete>(action)) {
            auto e = end_line(false, had_delimiter);
            if (!e) return std::unexpected(std::move(e.error()));
            return LineEnd::Deleted;
        } else if (std::holds_alternative<SedPrint>(action)) {
            done = write(pattern_, options_.delimiter);
        } else if (std::holds_alternative<SedQuit>(action)) {
            auto e = end_line(true, had_delimiter);
            if (!e) return std::unexpected(std::move(e.error()));
            return LineEnd::Quit;
        } else if (const auto* append = std::get_if<SedAppend>(&action)) {
            appends_.push_back(append->text);
        } else if (const auto* insert = std::get_if<SedInsert>(&action)) {
            done = write(insert->text, '\n');
        } else if (const auto* change = std::get_if<SedChange>(&action)) {
            // Inside a range that goes on, the line just goes; the text replaces the range's last.
            if (!mid_range) {
                pattern_ = change->text;
                auto w = write(pattern_, '\n');
                if (!w) return std::unexpected(std::move(w.error()));
            }
            auto e = end_line(false, had_delimiter);
            if (!e) return std::unexpected(std::move(e.error()));
            return LineEnd::Deleted;
        } else if (const auto* y = std::get_if<SedTransliterate>(&action)) {
            transliterate(*y);
        } else if (std::holds_alternative<SedLineNumber>(action)) {
            done = write(fmt::format("{}", line_number_), '\n');
        } else {
            unreachable("sed action");
        }
        if (!done) return std::unexpected(std::move(done.error()));
    }
    auto e = end_line(true, had_delimiter);
    if (!e) return std::unexpected(std::move(e.error()));
    return LineEnd::Next;
}

Result<std::string, SedStop> SedRun::run(std::span<const std::string_view> inputs) {
    // The engine's steps beyond the bytes each cycle and substitution pay for.
    RegexPayerFn payer([this](std::uint64_t units) { return meter_.charge_cpu(units); });
    RegexPayScope paying(payer);
    const std::uint64_t memory_start = meter_.memory_used();
    std::uint64_t total = 0;
    for (std::string_view in : inputs) total = sat_add(total, in.size());
    if (!meter_.charge_memory(sat_add(sat_mul(total, 2), sat_mul(64, commands_.size()))))
        return std::unexpected(exhausted());

    // The last input with any text: its last line is "$" of the whole stream.
    std::size_t last_nonempty = inputs.size();
    for (std::size_t i = inputs.size(); i-- > 0;) {
        if (!inputs[i].empty()) {
            last_nonempty = i;
            break;
        }
    }
    std::vector<SedCommand> fresh;  // the script as given, for separate inputs
    if (options_.separate) fresh.assign(commands_.begin(), commands_.end());

    auto lines = [&]() -> Result<void, SedStop> {
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            const std::string_view in = inputs[k];
            if (options_.separate && k > 0) {
                line_number_ = 0;
                for (std::size_t c = 0; c < commands_.size(); ++c) commands_[c].in_range = fresh[c].in_range;
            }
            std::size_t pos = 0;
            while (pos < in.size()) {
                const std::size_t end = in.find(options_.delimiter, pos);
                const bool had_delimiter = end != std::string_view::npos;
                const std::size_t next = had_delimiter ? end + 1 : in.size();
                const std::string_view line = in.substr(pos, (had_delimiter ? end : in.size()) - pos);
                const bool is_last = next == in.size() && (options_.separate || k == last_nonempty);
                auto r = run_line(line, had_delimiter, is_last);
                if (!r) return std::unexpected(std::move(r.error()));
                if (*r == LineEnd::Quit) return {};
                pos = next;
            }
        }
        return {};
    };
    auto done = lines();
    const std::uint64_t now = meter_.memory_used();
    if (now > memory_start) meter_.release_memory(now - memory_start);
    if (!done) return std::unexpected(std::move(done.error()));
    return std::move(out_);
}

}  // namespace

Result<std::string, SedStop> sed_execute(SedMeter& meter, std::span<const std::string_view> inputs,
                                         std::span<SedCommand> commands, const SedRunOptions& options) {
    SedRun run(meter, commands, options);
    return run.run(inputs);
}

Result<std::string, SedStop> sed_execute(SyscallContext& sys, std::string_view input, std::span<SedCommand> commands,
                                         bool quiet) {
    SyscallSedMeter meter(sys);
    SedRunOptions options;
    options.quiet = quiet;
    const std::string_view inputs[] = {input};
    return sed_execute(meter, inputs, commands, options);
}

}  // namespace tw
