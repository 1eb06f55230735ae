#### trap EXIT in a subshell
( trap 'echo bye' EXIT; echo in ); echo out

#### trap on a signal sent to self
trap 'echo got USR1' USR1; kill -USR1 $$; echo after

#### trap reset with dash
trap 'echo x' EXIT; trap - EXIT; echo done

#### trap ERR
trap 'echo err at $?' ERR; false; true; (exit 3); echo end

#### trap listing
trap 'echo hi' INT; trap -p INT; trap - INT; trap -p INT; echo ok

#### set -e stops at a failing command
set -e; echo a; false; echo b

#### set -e ignores conditions
set -e; if false; then echo no; fi; while false; do :; done; ! true; false || echo or; true && false || echo andor; echo survived

#### set -e and the last command of an && list
set -e; false && true; echo continues; true && false; echo never

#### set -e in a function used as a condition
set -e; f() { false; echo inside; }; if f; then echo cond; fi; f; echo never

#### set -e with a subshell
set -e; (false; echo no); echo never

#### set -e with a failing subshell in ||
set -e; (false) || echo rescued; echo yes

#### set -e with command substitution assignment
set -e; x=$(false); echo never

#### set -e ignores pipeline heads without pipefail
set -e; false | true; echo ok; set -o pipefail; false | true; echo never

#### set -e inside a brace group with ||
set -e; { false; echo inside; } || echo rescued; echo end

#### getopts loop
f() { local OPTIND o; while getopts 'ab:c' o; do case $o in a) echo A;; b) echo "B=$OPTARG";; c) echo C;; ?) echo bad;; esac; done; shift $((OPTIND-1)); echo "rest: $*"; }; f -a -b val -c file1 file2; f -ab x -- -c

#### getopts with unknown option and missing argument
f() { local OPTIND o; while getopts ':ab:' o; do case $o in a) echo A;; :) echo "missing $OPTARG";; \?) echo "unknown $OPTARG";; esac; done; }; f -x -a -b

#### read with IFS
IFS=: read -r a b c <<< 'x:y:z:w'; echo "$a|$b|$c"

#### read -r keeps backslashes
read -r a <<< 'a\tb\\c'; echo "$a"; read a <<< 'a\tb\\c'; echo "$a"

#### read strips leading and trailing whitespace
read a <<< '   spaced out   '; echo "[$a]"; IFS= read -r a <<< '   spaced out   '; echo "[$a]"

#### read into an array
read -ra arr <<< 'one two three'; echo ${#arr[@]} ${arr[2]}

#### read loop over lines without final newline
printf 'l1\nl2' | while IFS= read -r l || [[ -n $l ]]; do echo "<$l>"; done

#### read returns 1 at end of input
read a < /dev/null; echo $? "[$a]"

#### printf reuses the format
printf '%s=%s\n' a 1 b 2 c

#### printf with negative width and plus
printf '[%*d] [%+d] [% d] [%-4d]\n' 5 42 7 7 3

#### read keeps inner white space for the last name
printf 'a   b\tc  \n' | while read -r line; do echo "[$line]"; done; read -r x y <<< '  1  2   3  '; echo "[$x][$y]"

#### read with colon IFS and trailing separators
IFS=: read a b <<< 'p:q::r:'; echo "[$b]"; IFS=: read a b <<< 'p:q:'; echo "[$b]"; IFS=: read a b <<< 'p:q::'; echo "[$b]"; IFS=: read a b c <<< 'a:b::c'; echo "[$c]"

#### read with mixed white space and colon IFS
IFS=' :' read a b <<< ' x : y  z : '; echo "[$a][$b]"; IFS=' :' read a b <<< 'x:y :'; echo "[$a][$b]"

#### read with one name and backslashes
read a <<< 'x \  y   z'; echo "[$a]"

#### read -d with an empty delimiter keeps newlines
printf 'a\nb\0c' | { read -r -d '' y; echo "[$y]"; }

#### read into fewer names than fields with tabs
printf 'k\tv1\tv2\n' | { IFS=$'\t' read -r k v; echo "[$k][$v]"; }

#### read with an empty field in the middle
IFS=, read -r a b c <<< 'x,,z'; echo "[$a][$b][$c]"; IFS=, read -r a b <<< ',y'; echo "[$a][$b]"
