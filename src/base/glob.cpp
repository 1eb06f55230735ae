#include "base/glob.h"

#include <optional>
#include <string>
#include <unordered_map>

#include "base/regex.h"
#include "base/utf8.h"

namespace tw {

namespace {

bool has_glob_metachar(std::string_view pattern) {
    return pattern.find_first_of("*?[") != std::string_view::npos;
}

std::string glob_expression(std::string_view pattern) {
    std::string out;
    out.reserve(pattern.size() * 2 + 2);
    out += '^';
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        // A "^" that opens a bracket set negates it, as "[^x]" does in an expression.
        if (c == '^' && i > 0 && pattern[i - 1] == '[') {
            out += c;
            continue;
        }
        switch (c) {
            case '*': out += ".*"; break;
            case '?': out += '.'; break;
            case '$': case '(': case ')': case '+': case '.': case '\\': case '^': case '|':
                out += '\\';
                out += c;
                break;
            default: out += c; break;
        }
    }
    out += '$';
    return out;
}

// Compiled globs of this host thread, failures included (as nullopt). Matching repeats the same
// few patterns over many names (find over a tree), and compiling is the costly part. Regex
// values are immutable, so the cache only saves work; it is dropped whole when full.
constexpr std::size_t kGlobCacheMax = 256;

struct GlobKey {
    std::string pattern;
    bool caseless;
    bool utf;
    bool operator==(const GlobKey&) const = default;
};

struct GlobKeyHash {
    std::size_t operator()(const GlobKey& k) const {
        return std::hash<std::string>{}(k.pattern) ^ (k.caseless ? 0x9e3779b9u : 0u) ^
               (k.utf ? 0x85ebca6bu : 0u);
    }
};

const std::optional<Regex>& compiled_glob(std::string_view pattern, bool caseless, bool utf) {
    thread_local std::unordered_map<GlobKey, std::optional<Regex>, GlobKeyHash> cache;
    GlobKey key{std::string(pattern), caseless, utf};
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    if (cache.size() >= kGlobCacheMax) cache.clear();

    RegexOptions options;
    options.caseless = caseless;
    options.utf = utf;
    std::optional<Regex> compiled;
    if (has_glob_metachar(pattern)) {
        // "$" must not also match before a final newline of the candidate.
        options.dollar_endonly = true;
        auto r = Regex::compile(glob_expression(pattern), options);
        if (r) compiled = std::move(*r);
    } else {
        // Only reached when ignoring case: the exact text, anchored at both ends.
        options.literal = true;
        options.anchored = true;
        options.end_anchored = true;
        auto r = Regex::compile(pattern, options);
        if (r) compiled = std::move(*r);
    }
    return cache.emplace(std::move(key), std::move(compiled)).first->second;
}

}  // namespace

bool glob_to_regex(std::string_view pattern, std::string_view candidate, bool caseless) {
    if (!caseless && !has_glob_metachar(pattern)) return pattern == candidate;
    const bool utf = utf8_valid(pattern) && utf8_valid(candidate);
    const std::optional<Regex>& regex = compiled_glob(pattern, caseless, utf);
    if (!regex) return false;
    auto r = regex->matches(candidate);
    return r && *r;
}

}  // namespace tw
