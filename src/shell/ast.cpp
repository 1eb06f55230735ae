#include "shell/ast.h"

#include <fmt/format.h>

#include "base/sat.h"
#include "base/stack.h"

namespace tw {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

std::uint64_t text_size(const std::string& text, std::uint64_t extra) {
    return sat_add(text.size(), extra);
}

std::uint64_t redirections_size(const std::vector<Redirection>& redirections) {
    std::uint64_t size = 0;
    for (const auto& r : redirections) size = sat_add(size, text_size(r.target, 32));
    return size;
}

std::uint64_t child_size(const ShellCommandPtr& child) {
    return child ? shell_value_modeled_size(*child) : 0;
}

std::uint64_t node_size(const ShellCommand& command) {
    using C = ShellCommand;
    return std::visit(
        Overloaded{
            [](const C::Simple& n) {
                std::uint64_t size = 0;
                for (const auto& a : n.assignments)
                    size = sat_add(size, sat_add(a.name.size(), text_size(a.value, 48)));
                for (const auto& w : n.words) size = sat_add(size, text_size(w, 24));
                return sat_add(size, redirections_size(n.redirections));
            },
            [](const C::Words& n) {
                std::uint64_t size = 0;
                for (const auto& w : n.words) size = sat_add(size, text_size(w, 24));
                return size;
            },
            [](const C::Pipeline& n) {
                std::uint64_t size = 0;
                for (const auto& s : n.stages) size = sat_add(size, child_size(s));
                return size;
            },
            [](const C::List& n) {
                std::uint64_t size = 0;
                for (const auto& s : n.items) size = sat_add(size, child_size(s));
                return size;
            },
            [](const C::And& n) { return sat_add(child_size(n.left), child_size(n.right)); },
            [](const C::Or& n) { return sat_add(child_size(n.left), child_size(n.right)); },
            [](const C::Loop& n) { return sat_add(child_size(n.condition), child_size(n.body)); },
            [](const C::Background& n) { return child_size(n.body); },
            [](const C::Subshell& n) { return child_size(n.body); },
            [](const C::BraceGroup& n) { return child_size(n.body); },
            [](const C::Not& n) { return child_size(n.body); },
            [](const C::Time& n) { return child_size(n.body); },
            [](const C::If& n) {
                std::uint64_t size = sat_add(child_size(n.condition), child_size(n.then_branch));
                for (const auto& e : n.elif_branches)
                    size = sat_add(size, sat_add(child_size(e.condition), child_size(e.branch)));
                return sat_add(size, child_size(n.else_branch));
            },
            [](const C::For& n) {
                std::uint64_t size = n.name.size();
                for (const auto& w : n.words) size = sat_add(size, text_size(w, 24));
                return sat_add(size, child_size(n.body));
            },
            [](const C::ArithFor& n) {
                std::uint64_t size =
                    sat_add(n.init.size(), sat_add(n.condition.size(), n.step.size()));
                return sat_add(size, child_size(n.body));
            },
            [](const C::Case& n) {
                std::uint64_t size = n.word.size();
                for (const auto& arm : n.arms) {
                    for (const auto& p : arm.patterns) size = sat_add(size, text_size(p, 24));
                    size = sat_add(size, arm.body ? child_size(arm.body) : 80);
                }
                return size;
            },
            [](const C::FunctionDef& n) { return sat_add(n.name.size(), child_size(n.body)); },
            [](const C::Arith& n) { return std::uint64_t{n.expression.size()}; },
            [](const C::Redirected& n) {
                return sat_add(child_size(n.body), redirections_size(n.redirections));
            },
        },
        command.node);
}

void quote_into(std::string& out, const std::string& text) {
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    out += '"';
}

std::string_view redirect_kind_name(RedirectKind kind) {
    switch (kind) {
        case RedirectKind::Read: return "read";
        case RedirectKind::Write: return "write";
        case RedirectKind::Append: return "append";
        case RedirectKind::ReadWrite: return "readwrite";
        case RedirectKind::Duplicate: return "dup";
        case RedirectKind::Close: return "close";
        case RedirectKind::HereDoc: return "heredoc";
        case RedirectKind::HereDocLiteral: return "heredoc-literal";
        case RedirectKind::HereString: return "herestring";
    }
    return "?";
}

void outline_into(std::string& out, const ShellCommand& command);

void child_into(std::string& out, const ShellCommandPtr& child) {
    out += ' ';
    if (child)
        with_stack_headroom([&] { outline_into(out, *child); });
    else
        out += '-';
}

void redirections_into(std::string& out, const std::vector<Redirection>& redirections) {
    for (const auto& r : redirections) {
        out += fmt::format(" ({} {} ", redirect_kind_name(r.kind), r.fd);
        quote_into(out, r.target);
        out += ')';
    }
}

void texts_into(std::string& out, const std::vector<std::string>& texts) {
    for (const auto& t : texts) {
        out += ' ';
        quote_into(out, t);
    }
}

void outline_into(std::string& out, const ShellCommand& command) {
    using C = ShellCommand;
    std::visit(Overloaded{
                   [&](const C::Simple& n) {
                       out += "(simple";
                       for (const auto& a : n.assignments) {
                           out += " (= ";
                           quote_into(out, a.name);
                           out += ' ';
                           quote_into(out, a.value);
                           out += ')';
                       }
                       texts_into(out, n.words);
                       redirections_into(out, n.redirections);
                   },
                   [&](const C::Words& n) {
                       out += "(words";
                       texts_into(out, n.words);
                   },
                   [&](const C::Pipeline& n) {
                       out += "(pipe";
                       for (const auto& s : n.stages) child_into(out, s);
                   },
                   [&](const C::And& n) {
                       out += "(and";
                       child_into(out, n.left);
                       child_into(out, n.right);
                   },
                   [&](const C::Or& n) {
                       out += "(or";
                       child_into(out, n.left);
                       child_into(out, n.right);
                   },
                   [&](const C::List& n) {
                       out += "(list";
                       for (const auto& s : n.items) child_into(out, s);
                   },
                   [&](const C::Background& n) {
                       out += "(bg";
                       child_into(out, n.body);
                   },
                   [&](const C::Subshell& n) {
                       out += "(subshell";
                       child_into(out, n.body);
                   },
                   [&](const C::BraceGroup& n) {
                       out += "(group";
                       child_into(out, n.body);
                   },
                   [&](const C::If& n) {
                       out += "(if";
                       child_into(out, n.condition);
                       child_into(out, n.then_branch);
                       for (const auto& e : n.elif_branches) {
                           out += " (elif";
                           child_into(out, e.condition);
                           child_into(out, e.branch);
                           out += ')';
                       }
                       if (n.else_branch) {
                           out += " (else";
                           child_into(out, n.else_branch);
                           out += ')';
                       }
                   },
                   [&](const C::For& n) {
                       out += "(for ";
                       quote_into(out, n.name);
                       out += " (";
                       for (std::size_t i = 0; i < n.words.size(); ++i) {
                           if (i) out += ' ';
                           quote_into(out, n.words[i]);
                       }
                       out += ')';
                       child_into(out, n.body);
                   },
                   [&](const C::ArithFor& n) {
                       out += "(arith-for ";
                       quote_into(out, n.init);
                       out += ' ';
                       quote_into(out, n.condition);
                       out += ' ';
                       quote_into(out, n.step);
                       child_into(out, n.body);
                   },
                   [&](const C::Loop& n) {
                       out += n.until ? "(until" : "(while";
                       child_into(out, n.condition);
                       child_into(out, n.body);
                   },
                   [&](const C::Case& n) {
                       out += "(case ";
                       quote_into(out, n.word);
                       for (const auto& arm : n.arms) {
                           out += " (arm (";
                           for (std::size_t i = 0; i < arm.patterns.size(); ++i) {
                               if (i) out += ' ';
                               quote_into(out, arm.patterns[i]);
                           }
                           out += ')';
                           child_into(out, arm.body);
                           if (arm.terminator == CaseTerminator::FallThrough) out += " ;&";
                           if (arm.terminator == CaseTerminator::Continue) out += " ;;&";
                           out += ')';
                       }
                   },
                   [&](const C::FunctionDef& n) {
                       out += "(function ";
                       quote_into(out, n.name);
                       child_into(out, n.body);
                   },
                   [&](const C::Arith& n) {
                       out += "(arith ";
                       quote_into(out, n.expression);
                   },
                   [&](const C::Not& n) {
                       out += "(not";
                       child_into(out, n.body);
                   },
                   [&](const C::Time& n) {
                       out += n.posix ? "(time-p" : "(time";
                       child_into(out, n.body);
                   },
                   [&](const C::Redirected& n) {
                       out += "(redirected";
                       child_into(out, n.body);
                       redirections_into(out, n.redirections);
                   },
               },
               command.node);
    out += ')';
}

}  // namespace

ShellCommand::~ShellCommand() {
    if (stack_headroom_low()) [[unlikely]]
        with_stack_headroom([this] { Node released = std::move(node); });
}

std::uint64_t shell_value_modeled_size(const ShellCommand& command) {
    return with_stack_headroom([&] { return sat_add(80, node_size(command)); });
}

std::string shell_command_outline(const ShellCommand& command) {
    std::string out;
    outline_into(out, command);
    return out;
}

}  // namespace tw
