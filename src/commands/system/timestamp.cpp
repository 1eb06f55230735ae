#include "commands/system/timestamp.h"

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include <iterator>

#include <fmt/format.h>

namespace tw {
namespace {

constexpr std::array<std::string_view, 7> kWeekdays{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

__int128 floor_div(__int128 a, __int128 b) {
    __int128 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Signed decimal of a 128-bit value.
std::string decimal(__int128 value) {
    const bool negative = value < 0;
    unsigned __int128 magnitude = negative ? -static_cast<unsigned __int128>(value) : static_cast<unsigned __int128>(value);
    char buffer[48];
    char* end = buffer + sizeof buffer;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + static_cast<int>(magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) *--p = '-';
    return std::string(p, end);
}

struct BrokenDown {
    __int128 seconds;         // since the epoch
    std::int64_t nanosecond;  // 0..999999999
    std::int64_t year;
    int month, day, hour, minute, second, weekday;
};

// Year, month and day of a day count from 1970-01-01 (proleptic Gregorian). The arithmetic is
// 128-bit so that every 64-bit day count works; the year always fits in 64 bits.
void civil_from_days(std::int64_t days, BrokenDown& t) {
    const __int128 z = static_cast<__int128>(days) + 719468;
    const __int128 era = (z >= 0 ? z : z - 146096) / 146097;
    const __int128 doe = z - era * 146097;
    const __int128 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const __int128 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const __int128 mp = (5 * doy + 2) / 153;
    t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<std::int64_t>(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
}

// The year zero-filled to at least four characters after its sign.
std::string padded_year(std::int64_t year) {
    if (year >= 0) return fmt::format("{:04}", year);
    return fmt::format("-{:03}", static_cast<std::uint64_t>(-(year + 1)) + 1);
}

}  // namespace

Result<std::string, std::string> format_timestamp(__int128 nanoseconds, std::string_view format) {
    constexpr __int128 kBillion = 1'000'000'000;
    BrokenDown t{};
    t.seconds = floor_div(nanoseconds, kBillion);
    t.nanosecond = static_cast<std::int64_t>(nanoseconds - t.seconds * kBillion);
    const __int128 days = floor_div(t.seconds, 86400);
    if (days < std::numeric_limits<std::int64_t>::min() || days > std::numeric_limits<std::int64_t>::max())
        return std::unexpected(std::string("timestamp is outside the supported calendar range"));
    const auto second_of_day = static_cast<int>(t.seconds - days * 86400);
    t.hour = second_of_day / 3600;
    t.minute = second_of_day % 3600 / 60;
    t.second = second_of_day % 60;
    t.weekday = static_cast<int>(((days + 4) % 7 + 7) % 7);
    civil_from_days(static_cast<std::int64_t>(days), t);

    std::string out;
    out.reserve(format.size() + 16);
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 1 == format.size()) {
            out += '%';
            break;
        }
        const char d = format[++i];
        if (d == '-') {
            if (i + 1 == format.size()) {
                out += "%-";
                break;
            }
            const char f = format[++i];
            switch (f) {
            case 'd':
            case 'e': out += std::to_string(t.day); break;
            case 'm': out += std::to_string(t.month); break;
            case 'Y': out += std::to_string(t.year); break;
            case 'H': out += std::to_string(t.hour); break;
            case 'M': out += std::to_string(t.minute); break;
            case 'S': out += std::to_string(t.second); break;
            default:
                out += "%-";
                out += f;
            }
            continue;
        }
        switch (d) {
        case 'a': out += kWeekdays[static_cast<std::size_t>(t.weekday)]; break;
        case 'b': out += kMonths[static_cast<std::size_t>(t.month - 1)]; break;
        case 'd': fmt::format_to(std::back_inserter(out), "{:02}", t.day); break;
        case 'e': fmt::format_to(std::back_inserter(out), "{:>2}", t.day); break;
        case 'F':
            // A year of more than four digits carries its sign, as in ISO 8601 expanded years.
            if (t.year > 9999) out += '+';
            fmt::format_to(std::back_inserter(out), "{}-{:02}-{:02}", padded_year(t.year), t.month, t.day);
            break;
        case 'H': fmt::format_to(std::back_inserter(out), "{:02}", t.hour); break;
        case 'M': fmt::format_to(std::back_inserter(out), "{:02}", t.minute); break;
        case 'm': fmt::format_to(std::back_inserter(out), "{:02}", t.month); break;
        case 'N': fmt::format_to(std::back_inserter(out), "{:09}", t.nanosecond); break;
        case 'S': fmt::format_to(std::back_inserter(out), "{:02}", t.second); break;
        case 's': out += decimal(t.seconds); break;
        case 'T': fmt::format_to(std::back_inserter(out), "{:02}:{:02}:{:02}", t.hour, t.minute, t.second); break;
        case 'Y': out += padded_year(t.year); break;
        case 'Z': out += "UTC"; break;
        case 'z': out += "+0000"; break;
        case '%': out += '%'; break;
        default:
            out += '%';
            out += d;
        }
    }
    return out;
}

}  // namespace tw
