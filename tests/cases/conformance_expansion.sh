#### quoting mixes
a='x y'; echo "$a" '$a' $a "\$a" 'it'\''s' $'tab\there'

#### word splitting with default IFS
v='  one   two  three '; set -- $v; echo $#; printf '<%s>' "$@"; echo

#### IFS colon splitting with empty fields
IFS=:; v='a::b:'; set -- $v; echo $#; printf '<%s>' "$@"; echo

#### IFS whitespace and non-whitespace mixed
IFS=' ,'; v=' a , b,,c '; set -- $v; echo $#; printf '<%s>' "$@"; echo

#### "$*" joins with the first IFS char
set -- a b c; IFS=-; echo "$*"; IFS=; echo "$*"; unset IFS; echo "$*"

#### "$@" in a word
set -- a 'b c'; printf '<%s>' x"$@"y; echo

#### empty "$@" vanishes
set --; printf '<%s>' "$@"; echo "n=$#"

#### prefix and suffix removal
p=/usr/local/lib/libfoo.so.1; echo ${p#*/} ${p##*/} ${p%.*} ${p%%.*}

#### pattern substitution
s=hello-world-hello; echo ${s/hello/X} ${s//hello/X} ${s/#hello/S} ${s/%hello/E} ${s//o}

#### substitution with character class
s=a1b2c3; echo ${s//[0-9]/#} ${s//[!0-9]/_}

#### substring expansion
s=abcdefgh; echo ${s:2} ${s:2:3} ${s: -3} ${s: -3:2} ${s:1:-2}

#### length of a string and of arrays
s=héllo; a=(1 2 3 4); echo ${#s} ${#a[@]} ${#a[1]}

#### indirect expansion
x=y; y=z; echo ${!x}; arr=(p q r); i='arr[1]'; echo ${!i}

#### default operators
unset u; e=; echo "${u-def}" "${e-def}" "${u:-def}" "${e:-def}" "${u+alt}" "${e+alt}" "${e:+alt}"

#### assign default
unset u; echo ${u:=set}; echo $u

#### error operator in a subshell
(unset u; echo ${u:?missing}) 2>/dev/null; echo $?

#### case modification
s=hello; S=WORLD; echo ${s^} ${s^^} ${S,} ${S,,}

#### array slices
a=(a b c d e); echo ${a[@]:1:3}; echo ${a[@]: -2}

#### unset array element
a=(a b c); unset 'a[1]'; echo ${#a[@]} ${!a[@]} "${a[@]}"

#### associative arrays
declare -A m; m[one]=1; m[two]=2; m[three]=3; for k in one two three; do echo $k=${m[$k]}; done; echo ${#m[@]}

#### associative array keys sorted
declare -A m=([b]=2 [a]=1 [c]=3); printf '%s\n' "${!m[@]}" | sort

#### array expansion with pattern ops
a=(file.txt other.txt x.c); echo ${a[@]%.txt}; echo ${a[@]/#/pre-}

#### arithmetic basics
echo $((7/2)) $((7%3)) $((-7/2)) $((2**10)) $((1<<4)) $((0xff)) $((010)) $((2#101)) $((36#z))

#### arithmetic assignment operators
x=5; ((x+=3)); ((x*=2)); ((x--)); echo $x; ((y=x++)); echo $x $y; echo $((x>10?1:0))

#### arithmetic with comma and logical
echo $((1&&0)) $((1||0)) $((!5)) $((~0)) $((3,4)) $((5^3)) $((5&3)) $((5|3))

#### (( )) exit status
((0)); echo $?; ((2)); echo $?; x=0; ((x++)); echo $? $x

#### arithmetic on unset and string vars
unset n; s=3+4; echo $((n+1)) $((s*2))

#### division by zero is an error
( echo $((1/0)) ) 2>/dev/null; echo $?

#### let
let a=3*4 b=a+1; echo $a $b; let 0; echo $?
