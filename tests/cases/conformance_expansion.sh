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

#### redirect both streams with &>
f=/tmp/amp.$$; { echo o; echo e >&2; } &> $f; sort $f

#### append both streams with &>>
f=/tmp/amp2.$$; echo first > $f; { echo e >&2; } &>> $f; cat $f

#### duplicate input descriptor
printf 'line\n' > /tmp/in.$$; exec 6< /tmp/in.$$; read -r v <&6; exec 6<&-; echo $v

#### redirection with a variable fd target
fd=1; echo to-fd >&$fd

#### here-document to a different descriptor
cat 3<<EOT <&3
via three
EOT

#### exec with only redirections persists
exec 2>/dev/null; ls-nonexistent-cmd; echo after $?

#### subshell redirection does not leak
( exec >/dev/null; echo hidden ); echo shown

#### pipeline into a brace group
printf '1\n2\n' | { read a; read b; echo $((a+b)); }

#### stdin of a background job
echo data | { cat & wait; }

#### command substitution of a function with output and status
f() { echo out; return 3; }; v=$(f); echo "$v $?"

#### command substitution preserves inner quoting
v=$(printf '%s\n' "a  b"); echo "$v"; echo $v

#### IFS changes affect unquoted expansions only
IFS=,; v='a,b c'; for w in $v; do echo "<$w>"; done; for w in "$v"; do echo "[$w]"; done

#### empty IFS disables splitting
IFS=; v='a b c'; set -- $v; echo $#

#### unquoted empty variable disappears
e=; set -- $e "$e" $e; echo $#

#### $* and $@ unquoted with IFS
set -- 'a b' c; IFS=:; echo $*; echo "$*"; printf '<%s>' $@; echo

#### quote removal in assignments
v="a b"; w=$v; echo "$w"; x='$v'; echo $x

#### array of words with spaces
a=('one two' three "four five"); for e in "${a[@]}"; do echo "<$e>"; done; echo ${#a[@]}

#### "${a[*]}" joins with IFS
a=(x y z); IFS=-; echo "${a[*]}"

#### assign an array from a command
a=($(printf 'p q\nr\n')); echo ${#a[@]} ${a[2]}

#### associative array iteration with spaces in keys
declare -A m; m['a b']=1; m[c]=2; for k in "${!m[@]}"; do echo "<$k>=${m[$k]}"; done | sort

#### associative array unset and count
declare -A m=([x]=1 [y]=2 [z]=3); unset 'm[y]'; echo ${#m[@]}; echo ${m[x]}${m[z]}

#### associative array with += on an element
declare -A m; m[k]=a; m[k]+=b; echo ${m[k]}

#### array element append
a=(x); a[0]+=y; a+=(z); echo "${a[@]}"

#### arithmetic on associative values
declare -A c; for w in a b a c a; do ((c[$w]++)); done; echo ${c[a]} ${c[b]} ${c[c]}
