// The system and process commands: identity, budgets, the process tools, sockets, date and the
// UTC timestamp formatter.
#include <cstdint>
#include <limits>
#include <string>

#include "commands/system/system_commands.h"
#include "commands/system/timestamp.h"
#include "case_fixture.h"

namespace tw::command_test {
namespace {

TEST(SystemInfo, IdentityAndRefusals) {
    expect_cases({
        {"uname", "Linux\n"},
        {"uname -a; uname -an; uname --all",
         "Linux sandbox 6.6.0-tarnwick #1 SMP x86_64 GNU/Linux\n"
         "Linux sandbox 6.6.0-tarnwick #1 SMP x86_64 GNU/Linux\n"
         "Linux sandbox 6.6.0-tarnwick #1 SMP x86_64 GNU/Linux\n"},
        {"uname -rs; uname -s -r", "Linux 6.6.0-tarnwick\nLinux 6.6.0-tarnwick\n"},
        {"uname -p", "", 2, "uname: unimplemented option '-p'\n"},
        {"uname --kernel-name", "", 2, "uname: unimplemented option '--kernel-name'\n"},
        {"uname foo", "", 1, "uname: extra operand\n"},
        {"arch; arch x", "x86_64\n", 2, "arch: unimplemented option or operand\n"},
        {"hostname alpha beta; hostname -f; uname -n", "alpha\nalpha\n"},
        {"hostname ''", "", 1, "hostname: invalid argument\n"},
        {"hostname -s", "", 2, "hostname: unimplemented option\n"},
        {"whoami; logname; groups; id -u; id -un; id -g; id", "root\nroot\nroot\n0\nroot\n0\nuid=0(root) gid=0(root) groups=0(root)\n"},
        {"id -ug", "", 1, "id: cannot print only user and only group\n"},
        {"id -n", "", 1, "id: option '-n' requires '-u' or '-g'\n"},
        {"id root", "", 2, "id: unimplemented user operand\n"},
        {"id -uz", "", 2, "id: unimplemented option '-z'\n"},
        {"nproc; nproc --all", "1\n", 2, "nproc: unimplemented option\n"},
        {"getconf PAGESIZE; getconf _NPROCESSORS_ONLN x; getconf ARG_MAX", "4096\n1\n2097152\n"},
        {"getconf LONG_BIT", "", 2, "getconf: Unrecognized variable `LONG_BIT'\n"},
        {"getconf", "", 1},
    });
}

TEST(SystemInfo, DiskAndMemoryComeFromTheBudgets) {
    MachineLimits limits = kRoomyLimits;
    limits.disk = 10485760;
    limits.memory = 1 << 30;
    Machine m = fresh_machine(limits);
    // A file of 1048320 bytes is charged 1 MiB (its bytes plus 256).
    Ran r = run_in(m, "head -c 1048320 /dev/zero > f; df; df -h /tmp -P; df -k missing");
    EXPECT_EQ(r.out,
              "Filesystem      Size  Used Avail Use% Mounted on\n"
              "tarnwick       10240  1024  9216  10% /\n"
              "Filesystem      Size  Used Avail Use% Mounted on\n"
              "tarnwick       10M  1M  9M  10% /\n");
    EXPECT_EQ(r.err, "df: missing: No such file or directory\n");
    EXPECT_EQ(r.status, 1);

    r = run_in(m, "rm f; head -c 767 /dev/zero > g; df -h | tail -n 1; df -i");
    EXPECT_EQ(r.out, "tarnwick       10M  1023B  9M  0% /\n");
    EXPECT_EQ(r.err, "df: unimplemented option\n");
    EXPECT_EQ(r.status, 2);

    r = run_in(m, "free | head -n 2 | tail -n 1; free -b | tail -n 1; free -m");
    EXPECT_TRUE(r.out.starts_with("Mem:        1048576 ")) << r.out;
    EXPECT_TRUE(r.out.ends_with("Swap:             0           0           0\n")) << r.out;
    EXPECT_EQ(r.err, "free: unimplemented option or operand\n");
    EXPECT_EQ(r.status, 2);

    MachineLimits none = kRoomyLimits;
    none.disk = 0;
    Machine empty = fresh_machine(none);
    EXPECT_EQ(run_in(empty, "df | tail -n 1").out, "tarnwick       0  0  0  100% /\n");
}

TEST(SystemInfo, HumanSize) {
    EXPECT_EQ(human_size(0), "0B");
    EXPECT_EQ(human_size(1023), "1023B");
    EXPECT_EQ(human_size(1024), "1K");
    EXPECT_EQ(human_size(1048575), "1023K");
    EXPECT_EQ(human_size(5ULL << 40), "5120G");
}

TEST(Ps, LayoutsFiltersAndErrors) {
    expect_cases({
        {"sleep 100 & ps -o pid,comm", "PID COMMAND\n1234 bash\n1235 sleep\n1236 ps\n"},
        {"sleep 100 & ps", "    PID TTY          TIME CMD\n   1234 ?        00:00:00 bash\n"
                           "   1235 ?        00:00:00 sleep 100\n   1236 ?        00:00:00 ps\n"},
        {"ps -f 1234", "UID          PID    PPID  C STIME TTY          TIME CMD\n"
                       "0           1234       0  0 00:00 ?        00:00:00 bash\n"},
        {"sleep 9 & kill -STOP $!; ps aux -f -p 1235",
         "USER       PID %CPU %MEM    VSZ   RSS TTY      STAT START   TIME COMMAND\n"
         "root       1235  0.0  0.0      0     0 ?        T    00:00   0:00 sleep 9\n"},
        {"bash -c 'exit 3' & sleep 1; ps -o stat=X,args -p 1235", "STAT CMD\nZ bash -c exit 3\n"},
        {"ps -o pid=X,ppid,pgid,sid,uid,user -p +1234", "PID PPID PGID SID UID USER\n1234 0 1234 1234 0 root\n"},
        {"ps 1234 -p 1; ps -p 1 1234 -o pid", "    PID TTY          TIME CMD\nPID\n1234\n"},
        {"ps -o pid,,", "", 2, "ps: unsupported output column\n"},
        {"ps -o rss", "", 2, "ps: unsupported output column\n"},
        {"ps -o", "", 2, "ps: -o requires a column list\n"},
        {"ps -p 1,x", "", 2, "ps: invalid PID list\n"},
        {"ps -p", "", 2, "ps: -p requires a PID list\n"},
        {"ps 12345678901", "", 2, "ps: invalid PID\n"},
        {"ps ''", "", 2, "ps: invalid PID\n"},
        {"ps -x", "", 2, "ps: unsupported option -x\n"},
        {"ps -aux", "", 2, "ps: unsupported option -aux\n"},
    });
}

TEST(ProcessSignals, MatchAndSignal) {
    expect_cases({
        {"sleep 100 & sleep 50 & pgrep -l sleep; pgrep -a sleep; pgrep -f 'p 5'",
         "1235 sleep\n1236 sleep\n1235 sleep 100\n1236 sleep 50\n1236\n"},
        // Never the caller itself; -x needs the leftmost match to cover the name.
        {"pgrep pgrep; echo $?; pgrep -x bas; echo $?; pgrep -x 'ba|bash'; echo $?; pgrep -x 'bash|ba'",
         "1\n1\n1\n1234\n"},
        {"sleep 100 & pkill sleep; wait $!; echo $?; pgrep sleep; echo $?", "143\n1\n"},
        {"sleep 100 & pkill -9 sleep; wait $!; echo $?", "137\n"},
        {"sleep 100 & pkill -s HUP sleep; wait $!; echo $?; sleep 9 & pkill --signal SIGINT -x sleep; wait $!; echo $?",
         "129\n130\n"},
        {"(exit 0) & sleep 1; pkill -f exit; echo $?", "1\n"},
        {"sleep 100 & sleep 100 & killall -KILL sleep nosuch; echo $?; wait; pgrep sleep; echo $?", "1\n1\n",
         0, "nosuch: no process found\n"},
        {"pgrep sh -l", "", 2, "pgrep: too many patterns\n"},
        {"pgrep", "", 2, "pgrep: pattern required\n"},
        {"pgrep -v x", "", 2, "pgrep: unsupported option -v\n"},
        {"pkill -l sleep", "", 2, "pkill: unsupported option -l\n"},
        {"pkill -s sleep", "", 2, "pkill: invalid or missing signal\n"},
        {"pkill a b", "", 2, "pkill: too many patterns\n"},
        {"pkill -9", "", 2, "pkill: pattern required\n"},
        {"killall -s", "", 2, "killall: invalid or missing signal\n"},
        {"killall -z x", "", 2, "killall: unsupported option -z\n"},
        {"killall -9", "", 2, "killall: process name required\n"},
    });
    Ran r = run("pgrep '('");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.starts_with("pgrep: invalid pattern: ")) << r.err;
}

TEST(OpenFiles, LsofAndSocketListing) {
    expect_cases({
        {"lsof -p $$ | head -n 2", "COMMAND PID USER FD TYPE DEVICE SIZE/OFF NODE NAME\nbash 1234 root 0u REG 0,0 0 0 pipe:[3]\n"},
        {"exec 7>/tmp/x; lsof /tmp/x", "COMMAND PID USER FD TYPE DEVICE SIZE/OFF NODE NAME\nbash 1234 root 7u REG 0,0 0 0 /tmp/x\n"
         "lsof 1235 root 7u REG 0,0 0 0 /tmp/x\n"},
        {"lsof -p 999", "COMMAND PID USER FD TYPE DEVICE SIZE/OFF NODE NAME\n", 1},
        {"lsof /tmp/nobody", "COMMAND PID USER FD TYPE DEVICE SIZE/OFF NODE NAME\n", 1},
        {"lsof -p x", "", 2, "lsof: -p requires a PID\n"},
        {"lsof -i", "", 2, "lsof: unsupported option -i\n"},
        {"ss -tlnp; netstat -an --all",
         "State  Recv-Q Send-Q Local Address:Port Peer Address:Port Process\n"
         "State  Recv-Q Send-Q Local Address:Port Peer Address:Port Process\n"},
        {"net listen web; net listen a-very-long-listener-name; ss -tulpn",
         "State  Recv-Q Send-Q Local Address:Port Peer Address:Port Process\n"
         "LISTEN 0      128    a-very-long-listener-name 0.0.0.0:*         -\n"
         "LISTEN 0      128    web                0.0.0.0:*         -\n"},
        {"ss state", "", 2, "socket listing: operands are not supported\n"},
        {"netstat -x", "", 2, "socket listing: unsupported option\n"},
        {"ss --tcp", "", 2, "socket listing: unsupported option\n"},
    });
}

TEST(Date, WallClockAndRefusedOptions) {
    expect_cases({
        {"date -u +%Y-%m-%dT%H:%M:%S; sleep 61; date --utc '+%F %T %s'; date",
         "2025-01-01T00:00:00\n2025-01-01 00:01:01 1735689661\nWed Jan  1 00:01:01 UTC 2025\n"},
        // Options that would name another time are refused, never ignored.
        {"date -d 2020-01-01 +%F", "", 1, "date: unimplemented option '-d'\n"},
        {"date --date=2020-01-01 +%F", "", 1, "date: unimplemented option '--date'\n"},
        {"date -s now", "", 1, "date: unimplemented option '-s'\n"},
        {"date -ur f", "", 1, "date: unimplemented option '-r'\n"},
        {"date 0101", "", 1, "date: unimplemented operand '0101'\n"},
        {"date +%s +%F", "", 1, "date: extra operand '+%F'\n"},
        {"sync; sync -f x; echo $?", "0\n"},
    });
}

struct TimestampCase {
    __int128 ns;
    std::string format;
    std::string expected;
};

// Expected texts are those of GNU `date -u -d @SECONDS +FORMAT`.
TEST(FormatTimestamp, MatchesTheReferenceCalendar) {
    const std::string all = "%a %b %d %e %F %H %M %m %N %S %s %T %Y %Z %z %% %-d %-e %-m %-Y %-H %-M %-S";
    constexpr __int128 s = 1'000'000'000;
    const TimestampCase cases[] = {
        {0, all, "Thu Jan 01  1 1970-01-01 00 00 01 000000000 00 0 00:00:00 1970 UTC +0000 % 1 1 1 1970 0 0 0"},
        {-1 * s, all, "Wed Dec 31 31 1969-12-31 23 59 12 000000000 59 -1 23:59:59 1969 UTC +0000 % 31 31 12 1969 23 59 59"},
        {951782400 * s, all, "Tue Feb 29 29 2000-02-29 00 00 02 000000000 00 951782400 00:00:00 2000 UTC +0000 % 29 29 2 2000 0 0 0"},
        {1709622489 * s, all, "Tue Mar 05  5 2024-03-05 07 08 03 000000000 09 1709622489 07:08:09 2024 UTC +0000 % 5 5 3 2024 7 8 9"},
        {4102444800 * s, all, "Fri Jan 01  1 2100-01-01 00 00 01 000000000 00 4102444800 00:00:00 2100 UTC +0000 % 1 1 1 2100 0 0 0"},
        {-30610224000 * s, all, "Wed Jan 01  1 1000-01-01 00 00 01 000000000 00 -30610224000 00:00:00 1000 UTC +0000 % 1 1 1 1000 0 0 0"},
        {-62167219200 * s, all, "Sat Jan 01  1 0000-01-01 00 00 01 000000000 00 -62167219200 00:00:00 0000 UTC +0000 % 1 1 1 0 0 0 0"},
        {-62198755200 * s, all, "Fri Jan 01  1 -001-01-01 00 00 01 000000000 00 -62198755200 00:00:00 -001 UTC +0000 % 1 1 1 -1 0 0 0"},
        {-99999999999 * s, all, "Thu Feb 15 15 -1199-02-15 14 13 02 000000000 21 -99999999999 14:13:21 -1199 UTC +0000 % 15 15 2 -1199 14 13 21"},
        {253402300800 * s, all, "Sat Jan 01  1 +10000-01-01 00 00 01 000000000 00 253402300800 00:00:00 10000 UTC +0000 % 1 1 1 10000 0 0 0"},
        {-1, "%Y-%m-%d %H:%M:%S.%N %s", "1969-12-31 23:59:59.999999999 -1"},
        {-40045132800 * s, "%Y %-Y", "0701 701"},
        {0, "%q %j % %-q 100%", "%q %j % %-q 100%"},
        {0, "end%-", "end%-"},
    };
    for (const TimestampCase& c : cases) {
        SCOPED_TRACE(c.expected);
        auto text = format_timestamp(c.ns, c.format);
        ASSERT_TRUE(text.has_value()) << text.error();
        EXPECT_EQ(*text, c.expected);
    }
}

TEST(FormatTimestamp, CalendarRangeEnds) {
    constexpr __int128 day_ns = static_cast<__int128>(86400) * 1'000'000'000;
    constexpr __int128 max_days = std::numeric_limits<std::int64_t>::max();
    EXPECT_TRUE(format_timestamp(max_days * day_ns, "%Y").has_value());
    EXPECT_TRUE(format_timestamp(-(max_days + 1) * day_ns, "%Y %s").has_value());
    EXPECT_EQ(format_timestamp((max_days + 1) * day_ns, "%Y").error(), "timestamp is outside the supported calendar range");
    EXPECT_EQ(format_timestamp(-(max_days + 1) * day_ns - 1, "%s").error(),
              "timestamp is outside the supported calendar range");
}

}  // namespace
}  // namespace tw::command_test
