#### set -e in a function called from a subshell
set -e; f() { false; echo no; }; (f); echo never

#### set -e ignored in the condition of a function call with &&
set -e; f() { false; echo inside $?; }; f && echo ok; echo end

#### set -e and negated pipeline
set -e; ! false; echo a; ! true; echo b

#### set +e restores
set -e; set +e; false; echo still

#### errexit with until and case
set -e; until true; do :; done; case x in y) false;; esac; echo fine

#### exit status of a function ending with a failing test
f() { [[ -n "" ]]; }; f; echo $?

#### return in a sourced-like function stops the function
f() { echo a; return 2; echo b; }; f; echo $?

#### exit in a subshell
(exit 7); echo $?; (echo x; exit 0; echo y)

#### eval with quoting
cmd='echo "a  b"'; eval "$cmd"; v='x'; eval "$v=5"; echo $x

#### eval builds a variable name
for i in 1 2; do eval "var_$i=val$i"; done; echo $var_1 $var_2

#### nested quotes in substitution
echo "$(echo "inner \"quoted\" $(echo 'deep')")"

#### escaped characters in double quotes
echo "a\$b \`c\` \\d \e \"f\""

#### ANSI-C quoting
echo $'a\nb' $'\x41\101' $'\u00e9' $'it\'s'

#### brace expansion does not apply in quotes
echo "{a,b}" '{1..3}'

#### globbing with no matches stays literal
echo /nonexistent-dir-zz/*.txt

#### globbing sorted
d=/tmp/g.$$; mkdir -p $d 2>/dev/null || d=/tmp; printf x > $d/b.q; printf x > $d/a.q; printf x > $d/c.q; cd $d && echo *.q

#### arithmetic for loop with break
for ((i=0;;i++)); do ((i>3)) && break; echo $i; done

#### nested functions and return status in conditions
is_even() { (( $1 % 2 == 0 )); }; for n in 1 2 3 4; do if is_even $n; then echo "$n even"; else echo "$n odd"; fi; done

#### while read with IFS and fields
printf 'a:1\nb:2\n' | while IFS=: read -r k v; do echo "$k -> $v"; done

#### read with more fields than names
read a b <<< 'one two three four'; echo "[$a] [$b]"

#### read with fewer fields than names
read a b c <<< 'one'; echo "[$a] [$b] [$c]"

#### IFS restore after a command prefix
IFS=: read -r x y <<< 'p:q'; echo "$x $y"; v='m n'; set -- $v; echo $#

#### mapfile reads lines
mapfile -t lines < <(printf 'x\ny\nz\n'); echo ${#lines[@]} ${lines[1]}

#### declare -p of a scalar
x='a b'; declare -p x

#### readonly refuses assignment
readonly r=1; (r=2) 2>/dev/null; echo $?

#### unset a function and a variable
f() { :; }; v=1; unset -f f; unset v; type f >/dev/null 2>&1; echo $? "[${v-gone}]"

#### shift and set --
set -- a b c d; shift 2; echo $@ $#; shift 5; echo $?

#### positional parameters beyond 9
set -- 1 2 3 4 5 6 7 8 9 10 11; echo ${10} ${11} $10

#### special parameters
f() { echo $#; }; f "$@"; echo $? ; set -- x; echo "$0" >/dev/null; echo ${#}

#### local array in a function
f() { local -a a=(1 2 3); echo ${#a[@]}; }; f; echo "[${a[@]}]"

#### string comparison with test and [
[ abc = abc ] && echo eq; [ abc != abd ] && echo ne; test -z '' && echo empty; [ 3 -lt 10 ] && echo lt

#### test with -a and -o
[ -n x -a -z '' ] && echo and; [ -z x -o -n y ] && echo or

#### test on files
f=/tmp/tf.$$; printf x > $f; [ -f $f ] && echo file; [ -s $f ] && echo nonempty; [ -d /tmp ] && echo dir; [ -e $f.no ] || echo missing

#### pushd and popd
cd /tmp; pushd / >/dev/null; pwd; popd >/dev/null; pwd

#### umask
umask 027; umask; umask 022
