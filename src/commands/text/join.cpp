#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "base/result.h"
#include "base/sat.h"
#include "base/utf8.h"
#include "commands/text/layout_commands.h"
#include "commands/text/text_lines.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

using Row = std::vector<std::string>;

struct JoinSettings {
    std::optional<char32_t> delimiter;
    std::size_t field[2] = {0, 0};  // zero-based
    bool unpaired[2] = {false, false};
    std::vector<std::string_view> operands;
};

Result<JoinSettings, std::string> parse_join_args(std::span<const std::string> args) {
    JoinSettings settings;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const bool has_next = i + 1 < args.size();
        if (arg == "-t") {
            if (!has_next || args[i + 1].empty()) return std::unexpected("missing delimiter");
            std::size_t pos = 0;
            settings.delimiter = utf8_next_char(args[++i], pos);
        } else if (arg == "-1" || arg == "-2") {
            const auto number = has_next ? parse_decimal_u64(args[i + 1]) : std::nullopt;
            if (!number || *number == 0) return std::unexpected("invalid field number");
            settings.field[arg == "-1" ? 0 : 1] = *number - 1;
            ++i;
        } else if (arg == "-a") {
            const std::string_view value = has_next ? std::string_view(args[i + 1]) : std::string_view("x");
            if (value != "1" && value != "2") return std::unexpected("invalid file number");
            settings.unpaired[value == "1" ? 0 : 1] = true;
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return std::unexpected(fmt::format("unsupported option '{}'", arg));
        } else {
            settings.operands.push_back(arg);
        }
    }
    if (settings.operands.size() != 2) return std::unexpected("expected two files");
    return settings;
}

std::vector<Row> join_rows(BytesView bytes, const std::optional<char32_t>& delimiter) {
    std::vector<Row> rows;
    for (const std::string& line : text_lines(bytes)) {
        if (delimiter) {
            rows.push_back(split_to_fields(line, *delimiter));
        } else {
            Row row;
            for (std::string_view word : split_whitespace(line)) row.emplace_back(word);
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

}  // namespace

// Pairs every row of file 1 with every row of file 2 whose join field is equal; the inputs need
// not be sorted. Output follows file 1's order, and for each of its rows file 2's order.
void join_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io) {
    auto parsed = parse_join_args(invocation.args);
    if (!parsed) {
        push_message(io.err, "join", parsed.error());
        step = NativeStep::finished(1);
        return;
    }
    const JoinSettings& settings = *parsed;
    if (command_await_stdin(step, invocation, io, settings.operands)) return;
    std::vector<Row> files[2];
    for (int k = 0; k < 2; ++k) {
        LentBytes storage;
        const auto contents = command_gather_input(step, invocation, io, std::span(&settings.operands[k], 1), "join", storage);
        if (!contents) return;
        files[k] = join_rows(*contents, settings.delimiter);
    }
    const std::vector<Row>& left = files[0];
    const std::vector<Row>& right = files[1];

    // The work is charged as the full comparison of every pair of rows; the pairing itself goes
    // through an index of file 2 by join field.
    Syscalls& sys = invocation.sys;
    std::uint64_t field_bytes = 0;
    for (const auto& file : files)
        for (const Row& row : file)
            for (const std::string& field : row) field_bytes = sat_add(field_bytes, field.size());
    const std::uint64_t memory = sat_add(field_bytes, right.size());
    if (!sys.charge_cpu(sat_mul(left.size(), right.size())) || !sys.charge_memory(memory)) {
        step = NativeStep::finished(sys.exhausted_status());
        return;
    }

    std::string separator = " ";
    if (settings.delimiter) {
        separator.clear();
        utf8_append(separator, *settings.delimiter);
    }
    const std::size_t f1 = settings.field[0];
    const std::size_t f2 = settings.field[1];
    std::unordered_map<std::string_view, std::vector<std::size_t>> by_key;
    for (std::size_t r = 0; r < right.size(); ++r)
        if (f2 < right[r].size()) by_key[right[r][f2]].push_back(r);
    std::vector<bool> paired(right.size(), false);
    const auto write_row = [&](const Row& row) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i > 0) io.out += separator;
            io.out += row[i];
        }
        io.out += '\n';
    };
    // Equal keys pair every row with every row, so the output can be far larger than the input:
    // each line is checked against the output budget before it is written.
    const auto row_bytes = [&](const Row& row) {
        std::uint64_t bytes = sat_mul(row.size(), separator.size());
        for (const std::string& field : row) bytes = sat_add(bytes, field.size());
        return bytes;
    };
    std::vector<std::uint64_t> right_bytes;
    right_bytes.reserve(right.size());
    for (const Row& row : right) right_bytes.push_back(row_bytes(row));
    const auto out_of_budget = [&]() {
        sys.release_memory(memory);
        step = NativeStep::finished(sys.exhausted_status());
    };
    for (const Row& row : left) {
        bool matched = false;
        const std::uint64_t left_bytes = row_bytes(row);
        if (f1 < row.size()) {
            auto it = by_key.find(row[f1]);
            if (it != by_key.end()) {
                for (std::size_t r : it->second) {
                    if (!command_output_fits(sys, io.out, sat_add(left_bytes, right_bytes[r]))) return out_of_budget();
                    matched = true;
                    paired[r] = true;
                    io.out += row[f1];
                    for (std::size_t i = 0; i < row.size(); ++i)
                        if (i != f1) io.out += separator, io.out += row[i];
                    const Row& other = right[r];
                    for (std::size_t i = 0; i < other.size(); ++i)
                        if (i != f2) io.out += separator, io.out += other[i];
                    io.out += '\n';
                }
            }
        }
        if (!matched && settings.unpaired[0]) write_row(row);
    }
    if (settings.unpaired[1])
        for (std::size_t r = 0; r < right.size(); ++r)
            if (!paired[r]) write_row(right[r]);
    sys.release_memory(memory);
    step = NativeStep::finished(0);
}

}  // namespace tw
