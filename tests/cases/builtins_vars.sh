#### a directory change in a subshell leaves the parent alone
cd /tmp; (cd /; x=1); echo "[$x]"; pwd

#### cd - goes back, prints the directory and swaps OLDPWD
cd /tmp; cd /; cd -; echo "$OLDPWD $PWD"

#### cd refusals keep the directory
cd /tmp; cd /nonexistent-dir; echo $?; cd /tmp /; echo $?; pwd

#### cd without an operand goes home
HOME=/tmp; cd; pwd

#### pushd, popd and dirs
cd /tmp; pushd / ; pushd; dirs; dirs -p; popd; dirs; popd; echo $?

#### pushd without a stack and dirs -c
cd /tmp; pushd; echo $?; pushd /; dirs -c; dirs

#### export, unset and read-only refusals
export A=1 B; echo "$A"; readonly R=1; export R=2; echo $? $R; unset R; echo $? $R; unset A; echo "[$A]"

#### unset -f removes a function
f() { echo f; }; f; unset -f f; f 2>/dev/null; echo $?

#### unset of array elements
a=(x y z); unset 'a[1]'; echo "${a[@]} ${#a[@]}"; declare -p a

#### declare -p prints scalars and indexed arrays
x="a b"; declare -p x; a=(q); a[3]=r; declare -p a

#### declare assigns expanded values
v=world; declare g="hello $v" h=$(echo sub); echo "$g|$h"; declare -a arr=(1 "2 3"); echo "${arr[1]}"

#### local hides and restores
x=outer; f() { local x=inner; echo $x; local y; echo "[${y-unset}]"; }; f; echo $x

#### local values from substitutions and parameters
f() { local a=$1 b="$(echo two words)"; echo "$a|$b"; }; f one

#### readonly names refuse declare and export
readonly r=5; declare r=6; echo $? $r; export r=7; echo $? $r

#### set -e stops at a failing command
set -e; true; false; echo unreachable

#### set -e spares tested positions
set -e; if false; then echo no; fi; false || echo yes; ! true; echo after

#### set -u stops at an unset variable
(set -u; echo "${undefined-default}"; echo "$undefined"; echo unreachable) 2>/dev/null || echo failed

#### set -o pipefail
false | true; echo $?; set -o pipefail; false | true; echo $?; set +o pipefail; false | true; echo $?

#### set -euo pipefail in one cluster
set -euo pipefail; true | false; echo unreachable

#### set -- replaces the positional parameters
set -- a "b c" d; echo $#; echo "$2"; set --; echo $#; set x -e; echo "$2"

#### shift and its refusals
set -- a b c; shift; echo "$@"; shift 4; echo $? "$@"; shift 2; echo $? "$#"; shift 0; echo $?

#### nullglob removes patterns without a match
cd /tmp; echo /no-such-dir/*.none; shopt -s nullglob; echo /no-such-dir/*.none; shopt -q nullglob; echo $?; shopt -u nullglob; shopt -q nullglob; echo $?

#### type and command -v of builtins
type cd; command -v cd; command -v no-such-command; echo $?

#### command skips functions
echo() { printf 'function\n'; }; command echo builtin; echo

#### alias lists and prints
alias ll='ls -l' la='ls -a'; alias; alias ll; alias nope; echo $?; unalias la; alias; unalias -a; alias

#### umask reads and sets the mask
umask 022; umask; umask 077; umask; umask -S; umask 0000; umask; umask 8; echo $?

#### hash remembers paths
hash ls; echo $?; hash -r; hash no-such-command; echo $?

#### set -e inside a function body and in a subshell
set -e; f() { false; echo no; }; f || echo caught; (false); echo unreachable

#### set -e follows the last stage of a pipeline and a failing test
set -e; true | false; echo unreachable

#### set -u allows "$@" without parameters
set -u; set --; echo "[$@]" "$#"

#### pipefail takes the last failing stage
set -o pipefail; (exit 3) | (exit 4) | true; echo $?

#### nullglob in loops and array lists
shopt -s nullglob; for f in /nonexistent/*; do echo "$f"; done; a=(/nonexistent/*); echo ${#a[@]}

#### local variables are seen by called functions and restored
g() { echo "g:$x"; x=2; }; f() { local x=f; g; echo "f:$x"; }; x=top; f; echo "top:$x"
