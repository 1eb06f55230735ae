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
