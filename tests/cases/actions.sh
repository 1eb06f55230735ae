#### exit ends the action with its status
echo a; exit 4; echo b

#### exit in a pipeline stage leaves the shell
exit 3 | cat; echo $?

#### a reader that leaves early ends the writer with 141
yes | head -n 2; echo "${PIPESTATUS[@]}"

#### a counting loop
i=0; while [ $i -lt 1000 ]; do i=$((i+1)); done; echo $i

#### a loop of function calls
f() { x=$1; }; i=0; while [ $i -lt 1000 ]; do f $i; i=$((i+1)); done; echo $x

#### a big stream through cat
head -c 1000000 /dev/zero | cat | cat | head -c 5 | cat -n; echo

#### the action ends after the last command's status
cat /nonexistent

#### children start with the status of their shell
false; (echo "subshell $?")
false; { echo "stage $?"; } | cat
false; echo "substitution $(echo $?)"
false; echo "background $?" & wait
(exit 3); echo "after subshell $?"

#### a list, a loop and a for keep $? until their first command ends
false; echo "list $?"; echo "then $?"
false; while [ $? -ne 0 ]; do echo "while in"; break; done
false; until [ $? -eq 0 ]; do echo "until in"; true; done; echo "until end $?"
false; for i in 1; do echo "for $?"; done
false; for i in; do :; done; echo "empty for $?"
false; while false; do :; done; echo "empty while $?"
