#### wait on a background subshell returns its status
(exit 3) & wait $!; echo $?

#### wait on a background function returns its status
f() { return 7; }; f & wait $!; echo $?

#### wait without operands returns 0
(exit 4) & (exit 5) & wait; echo $?

#### wait with several pids answers the last
(exit 4) & a=$!; (exit 5) & b=$!; wait $a $b; echo $?

#### wait for a job by number
(exit 6) & wait %1; echo $?

#### wait for an unknown pid
wait 99999; echo $?

#### background output arrives before wait returns
{ echo from-job; } & wait; echo after

#### kill -l names a signal
kill -l 15; kill -l 143; kill -l 2

#### kill -l with an unknown number fails
kill -l 200; echo $?

#### kill without targets
kill; echo $?

#### kill -0 tests the shell itself
kill -0 $$; echo $?

#### kill a job by number
(while :; do :; done) & kill %1; wait %1; echo $?

#### kill -9 a job by pid
(while :; do :; done) & kill -9 $!; wait $!; echo $?

#### trap EXIT runs at exit with the exit status kept
trap 'echo bye' EXIT; exit 3

#### trap EXIT runs at the end of the script
trap 'echo bye $?' EXIT; echo body; false

#### trap EXIT sees variables set later
trap 'echo "x=$x"' EXIT; x=late

#### trap EXIT in a subshell runs when the subshell ends
(trap 'echo sub-bye' EXIT; echo in-sub); echo parent

#### ERR trap runs on a failing command
trap 'echo err $?' ERR; false; echo after $?

#### ERR trap not run in conditions
trap 'echo err' ERR; if false; then :; fi; false || true; ! false; echo done

#### ERR trap runs for a failing function's last command
trap 'echo err' ERR; f() { false; }; f; echo after

#### trap listing
trap 'echo bye' EXIT; trap '' INT; trap 'echo hup' HUP; trap

#### trap listing quotes single quotes
trap "echo 'quoted'" EXIT; trap -p EXIT; trap - EXIT

#### trap - removes a trap
trap 'echo x' INT; trap - INT; trap; echo end

#### trap -p with names
trap 'echo t' TERM; trap 'echo u' USR1; trap -p USR1

#### a trap on USR1 runs when the shell signals itself
trap 'echo got usr1' USR1; kill -USR1 $$; echo after

#### a trap on TERM keeps the shell alive
trap 'echo got term' TERM; kill $$; echo alive

#### an ignored signal does nothing
trap '' USR2; kill -USR2 $$; echo alive

#### read splits on IFS and the last name takes the rest
read a b <<< "x y z"; echo "[$a][$b]"

#### read trims blanks around fields
read a b <<< "   one    two   "; echo "[$a][$b]"

#### read with a colon IFS
IFS=: read a b c <<< "a:b::c"; echo "[$a][$b][$c]"

#### read with more names than fields
read a b c <<< "only"; echo "[$a][$b][$c]"

#### read without names keeps the whole line in REPLY
read <<< "  spaced  line  "; echo "[$REPLY]"

#### read at end of input returns 1
printf 'partial' | { read x; echo "$? [$x]"; }

#### read with no input at all
read x < /dev/null; echo "$? [$x]"

#### read handles backslashes unless -r
printf 'a\\b c\\\nd\n' | { read x y; echo "[$x][$y]"; }; printf 'a\\b\n' | { read -r x; echo "[$x]"; }

#### read -a fills an array
read -a arr <<< "x y z"; echo "${#arr[@]} ${arr[1]}"

#### read -a with an empty field
IFS=: read -a arr <<< "a::b"; echo "${#arr[@]} [${arr[1]}] ${arr[2]}"

#### read -d reads up to the delimiter
printf 'one;two;' | { read -d ';' a; read -d ';' b; echo "$a $b"; }

#### read -d '' reads up to a NUL
printf 'a b\0c\0' | { read -d '' x; echo "[$x]"; }

#### read in a while loop
printf '1\n2\n3\n' | while read n; do echo "n=$n"; done

#### read lines from a here-document
while read -r a b; do echo "$b-$a"; done <<EOF2
1 one
2 two
EOF2

#### read with an empty IFS keeps the line
IFS= read -r line <<< "  keep  me  "; echo "[$line]"

#### mapfile keeps the newlines
printf 'a\nb\n' | { mapfile arr; printf '%s' "${arr[@]}"; echo "${#arr[@]}"; }

#### mapfile -t strips them
printf 'a\nb\n' | { mapfile -t arr; echo "${arr[0]}+${arr[1]} ${#arr[@]}"; }

#### mapfile -s and -n
printf 'a\nb\nc\n' | { mapfile -s 1 -n 1 arr; printf '[%s]' "${arr[@]}"; echo; }

#### mapfile -O keeps earlier elements
arr=(x y); printf 'a\nb\n' | { mapfile -t -O 5 arr; echo "${arr[0]} ${arr[5]} ${arr[6]} ${#arr[@]}"; }

#### mapfile into MAPFILE by default
mapfile -t <<< "p
q"; echo "${MAPFILE[@]}"

#### readarray is the same command
readarray -t lines <<< "r1
r2"; echo "${lines[1]}"

#### mapfile with -d
printf 'a,b,c' | { mapfile -d , -t arr; echo "${arr[2]} ${#arr[@]}"; }

#### mapfile of empty input empties the array
arr=(1 2 3); mapfile -t arr < /dev/null; echo "${#arr[@]}"

#### getopts over options with an argument
while getopts ab: opt -a -b value c; do echo "$opt ${OPTARG-unset}"; done; echo "OPTIND=$OPTIND"

#### getopts over a cluster
while getopts ab: opt -ab value; do echo "$opt $OPTARG"; done; echo "OPTIND=$OPTIND"

#### getopts over an attached argument
while getopts b:c opt -bval -c rest; do echo "$opt ${OPTARG-}"; done; echo "OPTIND=$OPTIND"

#### getopts stops at --
while getopts a opt -a -- -a; do echo "$opt"; done; echo "OPTIND=$OPTIND"

#### getopts silent mode reports a missing argument
getopts :b: opt -b; echo "$? $opt $OPTARG"

#### getopts silent mode reports an unknown option
getopts :a opt -x; echo "$? $opt $OPTARG"

#### getopts on positional parameters in a function
f() { while getopts xy: o; do echo "$o ${OPTARG-}"; done; shift_by=$((OPTIND-1)); echo "$shift_by"; }; f -x -y 3 file

#### OPTIND=1 restarts getopts
getopts a o -a; echo "$o $OPTIND"; OPTIND=1; getopts a o -a; echo "$o $OPTIND"

#### getopts usage
getopts; echo $?

#### let assigns and answers the last value
let x=5 x+1; echo "$? $x"; let 0; echo $?; let 'y = 2 * 3'; echo $y

#### let increments
i=1; let i++ i+=10; echo $i

#### the EXIT trap stays out of command substitutions
trap 'echo bye' EXIT; x=$(echo hi); echo "[$x]"

#### the EXIT trap stays out of pipeline stages and jobs
trap 'echo bye' EXIT; echo a | cat; f() { echo job; }; f & wait

#### a subshell runs its own EXIT trap only
trap 'echo outer' EXIT; (trap 'echo inner' EXIT; echo in); (echo plain); echo end
