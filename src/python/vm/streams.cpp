// Standard streams: output under the output budget, and standard input read from the fixed
// input of a run or from descriptor 0 of a dispatched process (suspending while it is empty).
#include <fmt/format.h>

#include "kernel/io.h"
#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/vm/engine.h"

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

// The length of the longest valid UTF-8 prefix, and whether the rest can never become valid.
std::pair<std::size_t, bool> utf8_prefix(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0) return {i, true};
        if (i + n > s.size()) {
            for (std::size_t j = i + 1; j < s.size(); ++j)
                if ((static_cast<unsigned char>(s[j]) & 0xC0) != 0x80) return {i, true};
            return {i, false};
        }
        for (std::size_t j = 1; j < n; ++j)
            if ((static_cast<unsigned char>(s[i + j]) & 0xC0) != 0x80) return {i, true};
        i += n;
    }
    return {i, false};
}

PyError not_utf8() { return PyError::value_error("standard input is not valid UTF-8"); }

// One line of input, including its line feed (empty at the end of input); text lines must be
// UTF-8, raw lines are bytes.
PyResult<std::string> read_text_line(RuntimeContext& ctx, bool raw = false) {
    ExecState& st = ctx.exec;
    StdinState& in = st.stdin_state;
    ResourceMeter& meter = ctx.machine.meter;
    if (!ctx.dispatched) {
        if (!in.fixed_input) {
            if (auto c = python_charge_work(meter, ctx.stdin_bytes.size()); !c) return fail(std::move(c.error()));
            if (!raw && utf8_prefix(ctx.stdin_bytes).first != ctx.stdin_bytes.size()) return fail(not_utf8());
            if (auto c = st.charge_memory(meter, ctx.stdin_bytes.size()); !c) return fail(std::move(c.error()));
            in.fixed_input = std::string(ctx.stdin_bytes);
        }
        std::string_view rest = *in.fixed_input;
        rest = rest.substr(std::min<std::uint64_t>(in.fixed_position, rest.size()));
        if (auto c = python_charge_work(meter, rest.size()); !c) return fail(std::move(c.error()));
        std::size_t n = rest.find('\n');
        n = n == std::string_view::npos ? rest.size() : n + 1;
        in.fixed_position += n;
        return std::string(rest.substr(0, n));
    }
    for (;;) {
        auto [valid, broken] = raw ? std::pair{in.pending.size(), false} : utf8_prefix(in.pending);
        if (broken) return fail(not_utf8());
        std::size_t lf = std::string_view(in.pending).substr(0, valid).find('\n');
        std::size_t n = std::string::npos;
        if (lf != std::string::npos) n = lf + 1;
        else if (in.end_of_input) {
            if (valid != in.pending.size()) return fail(not_utf8());
            n = valid;
        }
        if (n != std::string::npos) {
            std::string out = in.pending.substr(0, n);
            in.pending.erase(0, n);
            st.charged_memory = st.charged_memory > n ? st.charged_memory - n : 0;
            meter.release_memory(n);
            return out;
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

}  // namespace

PyStatus write_stdout(RuntimeContext& ctx, std::string_view text) { return write_stream(ctx, ctx.stdout_buffer, text); }
PyStatus write_stderr(RuntimeContext& ctx, std::string_view text) { return write_stream(ctx, ctx.stderr_buffer, text); }

PyResult<std::optional<Value>> read_stdin_line(RuntimeContext& ctx, bool bytes) {
    auto line = read_text_line(ctx, bytes);
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
    auto line = read_text_line(ctx);
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
