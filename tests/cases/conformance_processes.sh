#### nested command substitution
echo $(echo a $(echo b $(echo c)))

#### command substitution strips trailing newlines only
x=$(printf 'a\n\nb\n\n\n'); echo "[$x]"

#### backquote substitution with escapes
echo `echo \`echo inner\``

#### command substitution in double quotes keeps spaces
x="$(echo '  a   b  ')"; echo "[$x]"

#### command substitution exit status
x=$(exit 4); echo $?; y=$(false) || echo failed

#### substitution inside arithmetic
echo $(( $(echo 3) * $(echo 4) ))

#### process substitution as input
while read -r l; do echo "got $l"; done < <(printf 'a\nb\n')

#### process substitution as a file argument
cat <(echo one) <(echo two)

#### process substitution for output
echo data > >(cat); wait; sleep 0

#### pipeline exit status and PIPESTATUS
false | true; echo $?; true | false; echo $?; (exit 2) | (exit 3) | true; echo ${PIPESTATUS[@]}

#### pipeline with a while loop runs in a subshell
n=0; printf '1\n2\n' | while read x; do n=$((n+x)); done; echo $n

#### background job and wait
sleep 0.1 & pid=$!; wait $pid; echo "status $?"

#### several background jobs
for i in 1 2 3; do (echo job $i) & done | sort; wait; echo all

#### xargs basic
printf 'a b\nc\n' | xargs echo x

#### xargs -n and -I
printf '1 2 3 4 5\n' | xargs -n 2 echo; printf 'a\nb\n' | xargs -I{} echo '<{}>'

#### xargs -0
printf 'a b\0c\0' | xargs -0 -n1 echo item

#### xargs running a shell function via bash -c is not possible; run sh -c
printf 'x\ny\n' | xargs -n1 sh -c 'echo "arg: $0"'

#### env sets variables for one command
X=1 env | grep '^X='; env Y=2 sh -c 'echo $Y'; echo "[${Y-}]"

#### env -i clears the environment
env -i sh -c 'echo "[$HOME]"'

#### env -u removes a variable
export Z=9; env -u Z sh -c 'echo "[${Z-none}]"'

#### timeout lets a fast command finish
timeout 5 echo quick; echo $?

#### timeout kills a slow command
timeout 0.1 sleep 5; echo $?

#### timeout of a missing command
timeout 1 nonexistent-cmd-xyz 2>/dev/null; echo $?

#### env and timeout nested
env A=5 timeout 2 sh -c 'echo $A'

#### xargs with timeout
printf '1\n2\n' | xargs -n1 timeout 2 echo n

#### sleep with bad argument
sleep abc 2>/dev/null; echo $?

#### output process substitution as a redirection target
{ echo out; echo err >&2; } 2> >(sed 's/^/E:/') ; wait; sleep 0.1; echo end

#### trap RETURN-free function keeps the caller traps
trap 'echo exit-trap' EXIT; f() { echo in f; }; f; echo end

#### trap in a function persists
f() { trap 'echo trapped' USR1; }; f; kill -USR1 $$; echo after

#### trap EXIT sees the exit status
trap 'echo "status $?"' EXIT; (exit 0); false; exit 5

#### signal trap runs once per signal
n=0; trap 'n=$((n+1))' USR2; kill -USR2 $$; kill -USR2 $$; echo $n

#### ignoring a signal
trap '' TERM; kill -TERM $$; echo survived

#### kill a background loop and wait reports 143
(while :; do :; done) & p=$!; kill $p; wait $p; echo $?

#### wait returns the status of a background pipeline
(exit 2) | (exit 5) & wait $!; echo $?

#### background job in a subshell sees its own $!
(sleep 0 & wait $!; echo inner $?); echo outer

#### $$ in a subshell is the parent shell
a=$$; b=$( echo $$ ); [ "$a" = "$b" ] && echo same

#### BASHPID differs in a subshell
[ "$BASHPID" = "$(echo $BASHPID)" ] && echo same || echo differ

#### exec in a subshell replaces it
(exec echo replaced; echo not-reached); echo after

#### redirect to a closed fd fails
echo x >&7 2>/dev/null; echo $?

#### redirection of a missing input file
cat < /nonexistent-zz 2>/dev/null; echo $?

#### stderr of a function redirected
f() { echo out; echo err >&2; }; f 2>/dev/null; f 2>&1 >/dev/null | sed 's/^/piped: /'

#### here-document to a while loop with read
while read -r a b; do echo "$b $a"; done <<EOF2
1 one
2 two
EOF2

#### here-document with a command substitution and quotes
n=3; cat <<EOT
"quoted" 'single' $(( n * 2 )) \$escaped \\back
EOT

#### here-document inside a function
f() { cat <<EOT
from $1
EOT
}; f arg

#### xargs with -n1 and exit
printf '1\n2\n3\n' | xargs -n1 sh -c 'echo run $0; exit 0'

#### xargs -I with several occurrences
printf 'x\n' | xargs -I% echo %-%

#### xargs with no input runs the command once
printf '' | xargs echo empty-run

#### env prints a set variable
env -i A=1 B=2 env

#### env runs a program found through PATH
env echo via-env

#### timeout --preserve-status
timeout --preserve-status 0.1 sleep 5; echo $?

#### timeout returns the command status
timeout 5 sh -c 'exit 3'; echo $?

#### timeout with bad duration
timeout abc true 2>/dev/null; echo $?

#### sleep with suffixes
sleep 0.01s; sleep 0; echo slept

#### pipeline of shell builtins and programs
printf 'c\nb\na\n' | sort | head -n 2 | tr a-z A-Z

#### subshell variables do not leak
x=1; (x=2; echo $x); echo $x

#### brace group variables do leak
x=1; { x=2; }; echo $x

#### command substitution with a here-document
x=$(cat <<EOT
inside
EOT
); echo "$x"

#### long pipeline
echo hello | cat | cat | cat | cat | cat | tr h H
