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

#### nested default expansions
unset a b; echo ${a:-${b:-deep}} "${a:-"q u"}"

#### slash in pattern substitution
p=/a/b/c; echo ${p//\//:} ${p/\/a/X}

#### pattern with escaped star
s='a*b*c'; echo ${s//\*/-} "${s%\**}"

#### positional slices
set -- a b c d e; echo ${@:2} "${@:2:2}" ${*: -2}; echo ${#@}

#### quoted pattern in removal
s='a.b.c'; pat='.*'; echo ${s%$pat} ${s%"$pat"}

#### prefix names
abc1=1 abc2=2 abd=3; echo ${!abc*}

#### local with command substitution does not trip errexit
set -e; f() { local x=$(false); echo "local ok"; }; f

#### errexit in command substitution
set -e; x=$(echo a; false; echo b); echo "[$x]"

#### errexit with a failing command in a pipeline middle
set -e; false | cat; echo alive

#### errexit after a function returning non-zero
set -e; f() { return 3; }; f || echo "f failed $?"; f; echo never

#### || chain with exit status
false || false || echo third; true || echo never; echo $?

#### && chain short-circuit status
false && echo never; echo $?

#### compound condition with [[ ]]
x=5; if [[ $x -gt 3 && $x -lt 10 || $x == 0 ]]; then echo range; fi

#### [[ ]] with parentheses and negation
[[ ! ( a == b || c == d ) ]] && echo neither

#### [[ ]] string comparison does not split
v='a b'; [[ $v == 'a b' ]] && echo same

#### [[ =~ ]] with a quoted part is literal
[[ a.c =~ "a.c" ]] && echo lit1; [[ abc =~ "a.c" ]] || echo lit2

#### [[ ]] pattern with character classes
[[ x9 == [[:alpha:]][[:digit:]] ]] && echo class

#### extended regex alternation and anchors
for w in cat dog cow; do [[ $w =~ ^(cat|dog)$ ]] && echo "$w pet"; done

#### case with character classes and negation
for c in a 5 '#'; do case $c in [[:alpha:]]) echo alpha;; [[:digit:]]) echo digit;; [!a-z0-9]) echo other;; esac; done

#### arithmetic with variables and nested parentheses
a=2 b=3; echo $(( (a + b) * (a - b) )) $(( a ** b ** 2 )) $(( -a ** 2 ))

#### arithmetic with arrays
arr=(10 20 30); i=1; echo $(( arr[i] + arr[2] )); (( arr[0] += 5 )); echo ${arr[0]}

#### arithmetic pre and post increment
i=5; echo $((i++)) $((++i)) $((i--)) $((--i)) $i

#### arithmetic comparison operators
echo $((3<4)) $((3>4)) $((3<=3)) $((3>=4)) $((3==3)) $((3!=3))

#### arithmetic with negative modulo and shifts
echo $((-7 % 3)) $((7 % -3)) $((-16 >> 2)) $((1 << 62))

#### arithmetic overflow wraps
echo $(( 9223372036854775807 + 1 ))

#### loop over a file with a for and IFS newline
old=$IFS; IFS=$'\n'; for l in $(printf 'a b\nc d\n'); do echo "[$l]"; done; IFS=$old

#### here-string with a variable containing newlines
v=$'l1\nl2'; while read -r x; do echo "<$x>"; done <<< "$v"

#### read -a with custom IFS
IFS=, read -ra parts <<< 'a,b,,c'; echo ${#parts[@]}; printf '[%s]' "${parts[@]}"; echo

#### continue in a while read loop
printf '1\n2\n3\n' | while read n; do [ $n = 2 ] && continue; echo $n; done

#### break out of a nested until
i=0; until false; do while true; do i=$((i+1)); [ $i -ge 3 ] && break 2; done; done; echo $i

#### function defined with the function keyword
function greet { echo "hi $1"; }; greet you; function g2() { echo g2; }; g2

#### function redefined
f() { echo one; }; f; f() { echo two; }; f

#### function with redirection in its definition
f() { echo to-stderr; } >&2; f 2>/dev/null; echo done

#### getopts with clustered options and OPTIND
while getopts 'xyz:' o -xy -z arg rest; do echo "$o ${OPTARG-}"; done; echo $OPTIND

#### getopts reset between calls
f() { OPTIND=1; while getopts 'a' o "$@"; do echo got $o; done; }; f -a; f -a
