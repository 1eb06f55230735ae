// dd: a whole-buffer copy of a byte range, from a file, standard input or /dev/zero, to standard
// output or into a file at a block offset.
#include <fmt/format.h>

#include "base/sat.h"
#include "commands/files/dd_operands.h"
#include "commands/files/file_commands.h"
#include "commands/util/io.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

enum class DdStatus : std::uint8_t { Default = 0, None = 1, NoXfer = 2 };

struct DdOptions {
    std::optional<std::string> input;
    std::optional<std::string> output;
    std::uint64_t ibs = 512;
    std::uint64_t obs = 512;
    std::optional<std::uint64_t> count;
    std::uint64_t skip = 0;
    std::uint64_t seek = 0;
    bool notrunc = false;
    DdStatus status = DdStatus::Default;
};

Result<DdOptions, std::string> parse_dd_operands(std::span<const std::string> args) {
    DdOptions options;
    for (const std::string& arg : args) {
        if (arg.starts_with("-")) return std::unexpected(fmt::format("unsupported option {}", dd_quote(arg)));
        const std::size_t eq = arg.find('=');
        if (eq == std::string::npos) return std::unexpected(fmt::format("unrecognized operand {}", dd_quote(arg)));
        const std::string_view name = std::string_view(arg).substr(0, eq);
        const std::string_view value = std::string_view(arg).substr(eq + 1);
        const auto size = [&](std::uint64_t& slot) -> Result<void, std::string> {
            auto v = dd_parse_size(value);
            if (!v) return std::unexpected(std::move(v.error()));
            slot = *v;
            return {};
        };
        const auto number = [&](std::uint64_t& slot) -> Result<void, std::string> {
            auto v = dd_parse_number(value);
            if (!v) return std::unexpected(std::move(v.error()));
            slot = *v;
            return {};
        };
        Result<void, std::string> r{};
        if (name == "if") options.input = std::string(value);
        else if (name == "of") options.output = std::string(value);
        else if (name == "bs") {
            r = size(options.ibs);
            if (r) options.obs = options.ibs;
        } else if (name == "ibs") r = size(options.ibs);
        else if (name == "obs") r = size(options.obs);
        else if (name == "count") {
            std::uint64_t n = 0;
            r = number(n);
            if (r) options.count = n;
        } else if (name == "skip") r = number(options.skip);
        else if (name == "seek") r = number(options.seek);
        else if (name == "conv") {
            std::size_t start = 0;
            while (start <= value.size()) {
                std::size_t comma = value.find(',', start);
                if (comma == std::string_view::npos) comma = value.size();
                if (value.substr(start, comma - start) != "notrunc")
                    return std::unexpected(fmt::format("unsupported conversion {}", dd_quote(value)));
                options.notrunc = true;
                start = comma + 1;
            }
        } else if (name == "status") {
            if (value == "none") options.status = DdStatus::None;
            else if (value == "noxfer") options.status = DdStatus::NoXfer;
            else return std::unexpected(fmt::format("unsupported status {}", dd_quote(value)));
        } else {
            return std::unexpected(fmt::format("unrecognized operand {}", dd_quote(arg)));
        }
        if (!r) return std::unexpected(std::move(r.error()));
    }
    return options;
}

// A failure after the operands: a message (status 1) or a silent budget refusal (137).
struct DdFailure {
    std::string message;
    bool exhausted = false;
};

Result<void, DdFailure> fail(std::string message) { return std::unexpected(DdFailure{std::move(message), false}); }

Result<void, DdFailure> run_copy(Syscalls& sys, const DdOptions& options, CommandIo& io) {
    const std::string cwd = sys.getcwd();
    std::uint64_t skip_bytes = 0;
    if (__builtin_mul_overflow(options.skip, options.ibs, &skip_bytes)) return fail("input offset is too large");
    std::uint64_t count_bytes = 0;
    if (options.count && __builtin_mul_overflow(*options.count, options.ibs, &count_bytes))
        return fail("input size is too large");

    Bytes data;
    const bool from_stdin = !options.input || *options.input == "-";
    if (from_stdin) {
        if (auto r = dd_charge_memory(sys, &Syscalls::charge_memory, io.in.size()); !r) return fail(r.error());
        data = io.in;
    } else if (*options.input == "/dev/zero") {
        if (!options.count) return fail("reading /dev/zero requires count= to keep the operation bounded");
        if (auto r = dd_charge_memory(sys, &Syscalls::charge_memory, count_bytes); !r) return fail(r.error());
        data.assign(count_bytes, '\0');
    } else {
        auto st = sys.stat(cwd, *options.input, true);
        if (!st) return fail(fmt::format("failed to open {}: {}", *options.input, error_text(st.error())));
        if (auto r = dd_charge_memory(sys, &Syscalls::charge_memory, st->size); !r) return fail(r.error());
        auto bytes = sys.read_file(cwd, *options.input, st->size);
        if (!bytes) return fail(fmt::format("failed to open {}: {}", *options.input, error_text(bytes.error())));
        data = std::move(*bytes);
    }

    std::string_view selected = data;
    if (!from_stdin && *options.input == "/dev/zero") {
        // The zero source is produced at its requested size; skip does not apply.
    } else {
        const std::uint64_t start = std::min<std::uint64_t>(skip_bytes, data.size());
        std::uint64_t end = data.size();
        if (options.count) {
            std::uint64_t sum = 0;
            if (!__builtin_add_overflow(start, count_bytes, &sum)) end = std::min<std::uint64_t>(sum, data.size());
        }
        selected = selected.substr(start, end - start);
    }
    const std::uint64_t n = selected.size();
    if (!sys.charge_cpu(n)) return std::unexpected(DdFailure{{}, true});

    if (!options.output) {
        if (options.seek != 0) return fail("seek requires an output file");
        io.out.append(selected);
    } else if (*options.output != "/dev/null") {
        const std::string& path = *options.output;
        std::uint64_t offset = 0;
        if (__builtin_mul_overflow(options.seek, options.obs, &offset)) return fail("output offset is too large");
        std::uint64_t end = 0;
        if (__builtin_add_overflow(offset, n, &end)) return fail("output size is too large");
        std::optional<FileStat> existing;
        if (auto st = sys.stat(cwd, path, true)) {
            if (st->file_type != 0) return fail(fmt::format("failed to open {}: Is a directory", path));
            existing = *st;
        } else {
            const VfsError* vfs = st.error().vfs_error();
            if (vfs == nullptr || vfs->kind != VfsError::Kind::NotFound)
                return fail(fmt::format("failed to open {}: {}", path, error_text(st.error())));
        }
        const std::uint32_t mode = existing ? existing->mode : 0666;
        const std::uint64_t length = options.notrunc && existing ? std::max(end, existing->size) : end;
        if (!dd_charge_memory(sys, &Syscalls::charge_memory, length)) return std::unexpected(DdFailure{{}, true});
        // The bytes before the offset are kept, and with conv=notrunc those after the copy too;
        // without it the file ends where the copied bytes end.
        Bytes content;
        if (existing && (options.notrunc || offset > 0)) {
            auto old = sys.read_file(cwd, path, existing->size);
            if (!old) return fail(fmt::format("failed to open {}: {}", path, error_text(old.error())));
            content = std::move(*old);
            if (!options.notrunc && content.size() > offset) content.resize(offset);
        }
        if (content.size() < length) content.resize(length, '\0');
        content.replace(offset, n, selected);
        content.resize(length);
        if (auto written = sys.write_file_mode(cwd, path, std::move(content), mode); !written)
            return fail(fmt::format("failed to open {}: {}", path, error_text(written.error())));
    }

    if (options.status != DdStatus::None) {
        push_line(io.err, fmt::format("{}+{} records in", n / options.ibs, n % options.ibs != 0 ? 1 : 0));
        push_line(io.err, fmt::format("{}+{} records out", n / options.obs, n % options.obs != 0 ? 1 : 0));
        if (options.status != DdStatus::NoXfer) push_line(io.err, fmt::format("{} bytes copied", n));
    }
    return {};
}

}  // namespace

namespace {

NativeStep dd_step(NativeInvocation& invocation, CommandIo& io) {
    auto options = parse_dd_operands(invocation.args);
    if (!options) {
        dd_report_error(io.err, options.error());
        return NativeStep::finished(1);
    }
    if (!options->input || *options->input == "-") {
        if (auto step = command_read_stdin(invocation, io)) return *step;
    }
    Syscalls& sys = invocation.sys;
    const std::uint64_t memory_before = sys.memory_used();
    auto copied = run_copy(sys, *options, io);
    sys.release_memory(sat_sub(sys.memory_used(), memory_before));
    if (!copied) {
        if (copied.error().exhausted) return NativeStep::finished(sys.exhausted_status());
        dd_report_error(io.err, copied.error().message);
        return NativeStep::finished(1);
    }
    return NativeStep::finished(0);
}

}  // namespace

void dd_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) { step = dd_step(invocation, io); }

}  // namespace tw
