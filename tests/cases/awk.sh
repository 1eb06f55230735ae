# awk programs whose output this awk shares with the host's awk. Deliberate differences (number
# output without an output format, sorted for-in order, no SUBSEP, numeric string constants,
# dropped carriage returns, empty records under a pattern FS) are kept out of this file; they are
# listed in tests/commands/awk_test.cpp.

#### fields and NF
printf 'a b\nc d\n' | awk '{print $2, NF}'; echo "status $?"

#### sum with -F
printf 'a:b:1\nc:d:2\ne:f:39\n' | awk -F: '{s+=$3} END {print s}'; echo "status $?"

#### NR and $0
printf 'x\ny\n' | awk '{print NR ": " $0}'; echo "status $?"

#### OFS and field assignment
printf 'a b c\n' | awk 'BEGIN{OFS="-"} {$2="X"; print}'; echo "status $?"

#### assignment past NF
printf 'a b\n' | awk '{$5="e"; print; print NF}'; echo "status $?"

#### $0 assignment resplits
printf 'x\n' | awk '{$0="p q r"; print NF, $3}'; echo "status $?"

#### default FS trims blanks
printf '  a   b  \n' | awk '{print NF, $1, $2}'; echo "status $?"

#### regex FS
printf 'a:;b;c\n' | awk -F '[:;]+' '{print $3}'; echo "status $?"

#### -v and operand assignments
printf 'r\n' | awk -v x=1 '{print x, y, $0}' y=2 -; echo "status $?"

#### in and delete
awk 'BEGIN{a[1]; a[2]=2; delete a[1]; print (1 in a), (2 in a), length(a[2])}' </dev/null; echo "status $?"

#### split
awk 'BEGIN{n = split("a:b:c", p, ":"); print n, p[1], p[3]}' </dev/null; echo "status $?"

#### split on blanks
awk 'BEGIN{n = split("  a b  c ", p); print n, p[3]}' </dev/null; echo "status $?"

#### sub and gsub
printf 'foo bar baz\n' | awk '{sub(/o+/, "0"); gsub(/a/, "<&>"); print}'; echo "status $?"

#### gsub counts and escapes
awk 'BEGIN{s="aaa"; n=gsub(/a/, "\\&", s); print n, s}' </dev/null; echo "status $?"

#### gsub empty matches
awk 'BEGIN{s="abc"; gsub(/x*/, "-", s); print s; t="baaac"; gsub(/a*/, "-", t); print t}' </dev/null; echo "status $?"

#### match
awk 'BEGIN{print match("foobar", /o+/), RSTART, RLENGTH; print match("abc", /z/), RSTART, RLENGTH}' </dev/null; echo "status $?"

#### substr
awk 'BEGIN{print substr("hello", 2), substr("hello", 2, 3), substr("hello", 0, 2), substr("hello", -1)}' </dev/null; echo "status $?"

#### index and length
printf 'hello world\n' | awk '{print index($0, "lo"), length(), length($1)}'; echo "status $?"

#### tolower and toupper
printf 'MiXeD\n' | awk '{print tolower($0), toupper($0)}'; echo "status $?"

#### sprintf and printf
awk 'BEGIN{printf "%5s|%-5s|%05d|%.2f|%c|%c\n", "ab", "cd", 42, 3.14159, 65, "hi"; x = sprintf("%d-%i", 7.9, -2.5); print x}' </dev/null; echo "status $?"

#### printf %e
awk 'BEGIN{printf "%e %e %.2e\n", 1234.5, 0.00012, 0}' </dev/null; echo "status $?"

#### printf %s precision
awk 'BEGIN{printf "[%.3s][%8.2s][%-4d]\n", "abcdef", "xyz", 5}' </dev/null; echo "status $?"

#### string to number prefix
awk 'BEGIN{print "3abc"+0, "10kb"+1, " 12 "+1, ".5x"*2}' </dev/null; echo "status $?"

#### uninitialized compares as 0 and empty
awk 'BEGIN{print (x == 0), (x == ""), length(x), x+0}' </dev/null; echo "status $?"

#### numeric strings compare as numbers
printf '10 9\nabc abd\n' | awk '{print ($1 < $2)}'; echo "status $?"

#### regex pattern and !~
printf 'abc\nxa\ny\n' | awk '/a/ {print "has a:", $0} $0 !~ /b/ {print "no b:", $0}'; echo "status $?"

#### comparison pattern and next
printf '1\n2\n3\n' | awk 'NR==2 {next} {print}'; echo "status $?"

#### exit code and END
printf 'a\nb\n' | awk '{print; exit 3} END{print "end"}'; echo "status $?"

#### while, for, break, continue
awk 'BEGIN{while (1) {if (++i > 3) break}; for (j=0; j<5; j++) {if (j==2) continue; s = s j}; print i, s}' </dev/null; echo "status $?"

#### increment and compound assignment
awk 'BEGIN{x = 5; x += 2; x *= 3; x -= 1; x /= 4; x %= 3; print x, x++, ++x, x--, x}' </dev/null; echo "status $?"

#### subscript evaluated once
awk 'BEGIN{i = 1; a[i++] += 5; print i, a[1], a[2]}' </dev/null; echo "status $?"

#### concatenation and precedence
awk 'BEGIN{print 1 " " 2+3 " " 2*3-1, -2 " " !0}' </dev/null; echo "status $?"

#### modulus and negative
awk 'BEGIN{print 5 % 3, -5 % 3, 5.5 % 2, int(-3.9), int("4x")}' </dev/null; echo "status $?"

#### FS change applies to next record
printf 'a:b c\nd:e f\n' | awk '{FS=":"; print $1}'; echo "status $?"

#### ORS
printf 'a\nb\n' | awk 'BEGIN{ORS="|"} {print}'; echo "status $?"

#### last line without newline
printf 'a\nb' | awk '{print NR, $0}'; echo "status $?"

#### FILENAME on standard input
printf 'a\nb\n' | awk 'END{print NR, FNR}'; echo "status $?"

#### print with parentheses
printf 'a b\n' | awk '{print($1, $2)}'; echo "status $?"

#### log
awk 'BEGIN{print log(1), int(log(100)*1000)}' </dev/null; echo "status $?"

#### exit status of a failed program
awk '{ print }' missing-file; echo "status $?"

#### awk in a pipeline with sort
printf 'b 2\na 1\nc 3\n' | awk '{ print $2, $1 }' | sort

#### reading two files
printf '1\n2\n' > a; printf '3\n' > b; awk '{ print FILENAME, FNR, NR, $0 }' a b
