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

// ---- function definitions as source text ----

namespace {

// Writes a tree back as shell text in the layout of a function listing: four spaces per level,
// one command per line inside bodies. Words are the raw texts, so they read back as written;
// here-document bodies follow the line of their command, ended by an EOF line.
class SourceWriter {
public:
    std::string take() { return std::move(out_); }

    void function(const std::string& name, const ShellCommand& body, int indent) {
        out_ += name;
        out_ += " () ";
        newline(indent);
        const ShellCommand* inner = &body;
        const std::vector<Redirection>* redirections = nullptr;
        if (const auto* r = body.as<ShellCommand::Redirected>(); r && r->body) {
            inner = r->body.get();
            redirections = &r->redirections;
        }
        out_ += "{ ";
        newline(indent + 4);
        if (const auto* group = inner->as<ShellCommand::BraceGroup>()) {
            if (group->body) sequence(*group->body, indent + 4, false);
        } else {
            command(*inner, indent + 4);
        }
        newline(indent);
        out_ += '}';
        if (redirections) redirections_of(*redirections);
    }

private:
    void newline(int indent) {
        out_ += '\n';
        for (const std::string& body : heredocs_) {
            out_ += body;
            out_ += "EOF\n";
        }
        heredocs_.clear();
        out_.append(static_cast<std::size_t>(indent), ' ');
    }

    void words(const std::vector<std::string>& texts, bool space_before) {
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (i > 0 || space_before) out_ += ' ';
            out_ += texts[i];
        }
    }

    void redirections_of(const std::vector<Redirection>& redirections) {
        for (const Redirection& r : redirections) {
            out_ += ' ';
            const auto fd_unless = [&](std::int32_t usual) {
                if (r.fd != usual) out_ += fmt::format("{}", r.fd);
            };
            switch (r.kind) {
            case RedirectKind::Read: fd_unless(0); out_ += "< " + r.target; break;
            case RedirectKind::Write: fd_unless(1); out_ += "> " + r.target; break;
            case RedirectKind::Append: fd_unless(1); out_ += ">> " + r.target; break;
            case RedirectKind::ReadWrite: fd_unless(0); out_ += "<> " + r.target; break;
            case RedirectKind::Duplicate:
                if (r.fd == 0) {
                    out_ += '<' + r.target;
                } else {
                    fd_unless(1);
                    out_ += '>' + r.target;
                }
                break;
            case RedirectKind::Close: fd_unless(1); out_ += ">&-"; break;
            case RedirectKind::HereDoc:
            case RedirectKind::HereDocLiteral:
                fd_unless(0);
                out_ += r.kind == RedirectKind::HereDoc ? "<<EOF" : "<<'EOF'";
                heredocs_.push_back(r.target);
                break;
            case RedirectKind::HereString: fd_unless(0); out_ += "<<< " + r.target; break;
            }
        }
    }

    // The commands of a list, one per line; all but the last end with ";" (or " &").
    void sequence(const ShellCommand& c, int indent, bool last_semicolon) {
        std::vector<const ShellCommand*> items;
        if (const auto* list = c.as<ShellCommand::List>()) {
            for (const auto& item : list->items)
                if (item) items.push_back(item.get());
        } else {
            items.push_back(&c);
        }
        for (std::size_t i = 0; i < items.size(); ++i) {
            command(*items[i], indent);
            if (items[i]->is<ShellCommand::Background>()) {
                if (i + 1 < items.size()) newline(indent);
                continue;
            }
            if (i + 1 < items.size() || last_semicolon) out_ += ';';
            if (i + 1 < items.size()) newline(indent);
        }
    }

    void body_block(const ShellCommandPtr& body, int indent) {
        newline(indent + 4);
        if (body) sequence(*body, indent + 4, true);
        else out_ += ':';
        newline(indent);
    }

    void inline_list(const ShellCommand& c, int indent) {
        if (const auto* list = c.as<ShellCommand::List>()) {
            for (std::size_t i = 0; i < list->items.size(); ++i) {
                if (!list->items[i]) continue;
                if (i > 0) out_ += list->items[i - 1]->is<ShellCommand::Background>() ? " " : "; ";
                command(*list->items[i], indent);
            }
            return;
        }
        command(c, indent);
    }

    void child(const ShellCommandPtr& c, int indent) {
        if (c) command(*c, indent);
    }

    void command(const ShellCommand& c, int indent) {
        with_stack_headroom([&] { command_here(c, indent); });
    }

    void command_here(const ShellCommand& c, int indent) {
        using C = ShellCommand;
        if (const auto* n = c.as<C::Simple>()) {
            bool first = true;
            for (const Assignment& a : n->assignments) {
                if (!first) out_ += ' ';
                first = false;
                out_ += a.name + '=' + a.value;
            }
            words(n->words, !first && !n->words.empty());
            redirections_of(n->redirections);
        } else if (const auto* w = c.as<C::Words>()) {
            words(w->words, false);
        } else if (const auto* p = c.as<C::Pipeline>()) {
            for (std::size_t i = 0; i < p->stages.size(); ++i) {
                if (i > 0) out_ += " | ";
                child(p->stages[i], indent);
            }
        } else if (const auto* a = c.as<C::And>()) {
            child(a->left, indent);
            out_ += " && ";
            child(a->right, indent);
        } else if (const auto* o = c.as<C::Or>()) {
            child(o->left, indent);
            out_ += " || ";
            child(o->right, indent);
        } else if (c.is<C::List>()) {
            inline_list(c, indent);
        } else if (const auto* b = c.as<C::Background>()) {
            child(b->body, indent);
            out_ += " &";
        } else if (const auto* s = c.as<C::Subshell>()) {
            out_ += "( ";
            if (s->body) inline_list(*s->body, indent);
            out_ += " )";
        } else if (const auto* g = c.as<C::BraceGroup>()) {
            out_ += "{ ";
            newline(indent + 4);
            if (g->body) sequence(*g->body, indent + 4, false);
            newline(indent);
            out_ += '}';
        } else if (const auto* i = c.as<C::If>()) {
            out_ += "if ";
            if (i->condition) inline_list(*i->condition, indent);
            out_ += "; then";
            body_block(i->then_branch, indent);
            for (const auto& e : i->elif_branches) {
                out_ += "elif ";
                if (e.condition) inline_list(*e.condition, indent);
                out_ += "; then";
                body_block(e.branch, indent);
            }
            if (i->else_branch) {
                out_ += "else";
                body_block(i->else_branch, indent);
            }
            out_ += "fi";
        } else if (const auto* f = c.as<C::For>()) {
            out_ += "for " + f->name + " in";
            words(f->words, true);
            out_ += ';';
            newline(indent);
            out_ += "do";
            body_block(f->body, indent);
            out_ += "done";
        } else if (const auto* af = c.as<C::ArithFor>()) {
            out_ += "for ((" + af->init + "; " + af->condition + "; " + af->step + "))";
            newline(indent);
            out_ += "do";
            body_block(af->body, indent);
            out_ += "done";
        } else if (const auto* l = c.as<C::Loop>()) {
            out_ += l->until ? "until " : "while ";
            if (l->condition) inline_list(*l->condition, indent);
            out_ += "; do";
            body_block(l->body, indent);
            out_ += "done";
        } else if (const auto* k = c.as<C::Case>()) {
            out_ += "case " + k->word + " in ";
            for (const CaseArm& arm : k->arms) {
                newline(indent + 4);
                for (std::size_t p = 0; p < arm.patterns.size(); ++p) {
                    if (p > 0) out_ += " | ";
                    out_ += arm.patterns[p];
                }
                out_ += ')';
                newline(indent + 8);
                if (arm.body) sequence(*arm.body, indent + 8, false);
                newline(indent + 4);
                out_ += arm.terminator == CaseTerminator::FallThrough ? ";&"
                        : arm.terminator == CaseTerminator::Continue  ? ";;&"
                                                                      : ";;";
            }
            newline(indent);
            out_ += "esac";
        } else if (const auto* fd = c.as<C::FunctionDef>()) {
            out_ += "function ";
            if (fd->body) function(fd->name, *fd->body, indent);
        } else if (const auto* ar = c.as<C::Arith>()) {
            std::string_view expression = ar->expression;
            while (!expression.empty() && (expression.front() == ' ' || expression.front() == '\t')) expression.remove_prefix(1);
            while (!expression.empty() && (expression.back() == ' ' || expression.back() == '\t')) expression.remove_suffix(1);
            out_ += "(( ";
            out_ += expression;
            out_ += " ))";
        } else if (const auto* nt = c.as<C::Not>()) {
            out_ += "! ";
            child(nt->body, indent);
        } else if (const auto* t = c.as<C::Time>()) {
            out_ += t->posix ? "time -p " : "time ";
            child(t->body, indent);
        } else if (const auto* r = c.as<C::Redirected>()) {
            child(r->body, indent);
            redirections_of(r->redirections);
        }
    }

    std::string out_;
    std::vector<std::string> heredocs_;
};

}  // namespace

std::string shell_function_source(const std::string& name, const ShellCommand& body) {
    SourceWriter writer;
    writer.function(name, body, 0);
    std::string text = writer.take();
    text += '\n';
    return text;
}

}  // namespace tw
