// Standard streams: output under the output budget, and standard input read from the fixed
// input of a run or from descriptor 0 of a dispatched process (suspending while it is empty).
#include <fmt/format.h>

#include "kernel/io.h"
#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/vm/engine.h"
#include "python/vm/try.h"

namespace tw::py::vm {

namespace {

PyStatus write_stream(RuntimeContext& ctx, std::string& buffer, std::string_view text) {
    ResourceMeter& meter = ctx.machine.meter;
    std::uint64_t used = meter.output_used(), limit = meter.limits().output;
    meter.charge_output(text.size());
    std::uint64_t room = limit > used ? limit - used : 0;
    buffer.append(text.substr(0, std::min<std::uint64_t>(room, text.size())));
    return {};
}

PyError not_utf8() { return PyError::value_error("standard input is not valid UTF-8"); }

// The byte length of a whole UTF-8 character starting with `c`; 0 for a byte that starts none.
std::size_t utf8_length(unsigned char c) {
    return c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
}

// Extends the validated prefix of the pending input as far as whole characters reach; true when
// the byte after it can never start a valid character.
bool extend_validated(StdinState& in) {
    const std::string_view s = in.pending;
    std::size_t i = in.validated;
    std::uint64_t chars = in.validated_chars;
    bool broken = false;
    while (i < s.size()) {
        const std::size_t n = utf8_length(static_cast<unsigned char>(s[i]));
        if (n == 0) {
            broken = true;
            break;
        }
        if (i + n > s.size()) {
            for (std::size_t j = i + 1; j < s.size(); ++j)
                if ((static_cast<unsigned char>(s[j]) & 0xC0) != 0x80) broken = true;
            break;
        }
        bool whole = true;
        for (std::size_t j = 1; j < n; ++j)
            if ((static_cast<unsigned char>(s[i + j]) & 0xC0) != 0x80) whole = false;
        if (!whole) {
            broken = true;
            break;
        }
        i += n;
        ++chars;
    }
    in.validated = i;
    in.validated_chars = chars;
    return broken;
}

// The byte length the read takes from the pending input, or none when it must wait for more:
// up to and including the first line feed for a line read, at most `limit` characters (bytes
// for a raw read), everything at the end of input.
PyResult<std::optional<std::size_t>> take_length(StdinState& in, const StdinRead& how) {
    const std::string_view s = in.pending;
    bool broken = false;
    std::size_t usable = s.size();
    if (!how.raw) {
        broken = extend_validated(in);
        usable = in.validated;
    }
    std::size_t n = std::string_view::npos;
    if (how.line) {
        const std::size_t from = std::min<std::size_t>(in.searched, usable);
        const std::size_t lf = s.substr(0, usable).find('\n', from);
        if (lf != std::string_view::npos) n = lf + 1;
        else in.searched = usable;
    }
    if (how.limit) {
        std::size_t at = std::string_view::npos;
        if (how.raw) {
            if (*how.limit <= usable) at = *how.limit;
        } else if (*how.limit <= in.validated_chars) {
            at = 0;
            for (std::uint64_t c = 0; c < *how.limit; ++c) at += utf8_length(static_cast<unsigned char>(s[at]));
        }
        n = std::min(n, at);
    }
    if (n != std::string_view::npos) return std::optional(n);
    if (broken) return fail(not_utf8());
    if (in.end_of_input) {
        if (usable != s.size()) return fail(not_utf8());
        return std::optional(usable);
    }
    return std::optional<std::size_t>();
}

// Takes the first n bytes of the pending input, giving back their memory charge.
std::string consume(RuntimeContext& ctx, std::size_t n, bool raw) {
    ExecState& st = ctx.exec;
    StdinState& in = st.stdin_state;
    std::string out = in.pending.substr(0, n);
    in.pending.erase(0, n);
    if (raw || n > in.validated) {
        in.validated = in.validated_chars = 0;
    } else {
        std::uint64_t chars = 0;
        for (unsigned char c : out) chars += (c & 0xC0) != 0x80;
        in.validated -= n;
        in.validated_chars -= std::min(chars, in.validated_chars);
    }
    in.searched = in.searched > n ? in.searched - n : 0;
    st.charged_memory = st.charged_memory > n ? st.charged_memory - n : 0;
    ctx.machine.meter.release_memory(n);
    return out;
}

}  // namespace

PyResult<std::string> read_stdin(RuntimeContext& ctx, const StdinRead& how) {
    ExecState& st = ctx.exec;
    StdinState& in = st.stdin_state;
    ResourceMeter& meter = ctx.machine.meter;
    if (!ctx.dispatched && !in.fixed_loaded) {
        // A run that is not dispatched reads the input it was given, all of it there at once.
        if (auto c = python_charge_work(meter, ctx.stdin_bytes.size()); !c) return fail(std::move(c.error()));
        if (auto c = st.charge_memory(meter, ctx.stdin_bytes.size()); !c) return fail(std::move(c.error()));
        in.fixed_loaded = true;
        in.pending.append(ctx.stdin_bytes);
        in.end_of_input = true;
    }
    for (;;) {
        TRY_ASSIGN(n, take_length(in, how));
        if (n) {
            if (auto c = python_charge_work(meter, *n + 1); !c) return fail(std::move(c.error()));
            return consume(ctx, *n, how.raw);
        }
        auto r = ctx.machine.read_descriptor(4096);
        if (!r) return fail(PyError::runtime_error(r.error()));
        if (r->blocked()) return fail(PyError::suspended(*r->wait));
        if (r->data.empty()) {
            in.end_of_input = true;
            continue;
        }
        if (auto c = python_charge_work(meter, r->data.size()); !c) return fail(std::move(c.error()));
        if (auto c = st.charge_memory(meter, r->data.size()); !c) return fail(std::move(c.error()));
        in.pending += r->data;
    }
}


PyStatus write_stdout(RuntimeContext& ctx, std::string_view text) { return write_stream(ctx, ctx.stdout_buffer, text); }
PyStatus write_stderr(RuntimeContext& ctx, std::string_view text) { return write_stream(ctx, ctx.stderr_buffer, text); }

PyResult<std::optional<Value>> read_stdin_line(RuntimeContext& ctx, bool bytes) {
    auto line = read_stdin(ctx, StdinRead{.raw = bytes, .line = true});
    if (!line) return fail(std::move(line.error()));
    if (line->empty()) return std::optional<Value>();
    if (bytes) {
        auto b = ctx.heap.allocate_object(BytesPayload{std::move(*line)}, ctx.roots, ctx.machine.meter);
        if (!b) return fail(std::move(b.error()));
        return std::optional(*b);
    }
    auto s = make_str(ctx, std::move(*line));
    if (!s) return fail(std::move(s.error()));
    return std::optional(*s);
}

PyResult<Value> read_input_line(RuntimeContext& ctx) {
    auto line = read_stdin(ctx, StdinRead{.line = true});
    if (!line) return fail(std::move(line.error()));
    std::string text = std::move(*line);
    if (text.empty()) return fail(PyError::exception("EOFError", "EOF when reading a line"));
    if (text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') text.pop_back();
    }
    return make_str(ctx, std::move(text));
}

}  // namespace tw::py::vm
