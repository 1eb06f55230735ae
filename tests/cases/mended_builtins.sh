#### break with a count that is not a positive integer leaves the loops with status 1
for i in 1 2; do for j in a b; do echo $i$j; break 0; done; done; echo "st=$?"
for i in 1 2; do echo $i; continue -1; done; echo "st=$?"

#### test counts its arguments before it looks at operators
test '!' = '!'; echo $?
x=-o; [ "$x" = foo ]; echo $?
x=-a; [ "$x" = -a ]; echo $?
[ ! -a ! ]; echo $?
[ -a ]; echo $?
[ = ]; echo $?
[ ! ! ! ! ]; echo $?
[ \( -o \) ]; echo $?
[ \( a \) -o b ]; echo $?
[ ! a = b -a c ]; echo $?
[ "" -o "" -o x ]; echo $?
[ ! \( a \) ]; echo $?
test a = ]; echo $?

#### test reports a missing or unknown operator with status 2
x=; [ $x -gt 0 ] && echo positive; echo $?
[ a b ]; echo $?
[ a b c ]; echo $?
[ a b c d e ]; echo $?
[ \( a \) \( b \) ]; echo $?
[ a -zz b ]; echo $?
[ -q foo ]; echo $?
[ \( a -a b ]; echo $?

#### test answers the file operators from the machine
echo x > f
[ -t 1 ]; echo $?
[ -t 0 ]; echo $?
[ -p /nonexistent ]; echo $?
[ -p f ]; echo $?
echo | [ -p /dev/stdin ]; echo $?
[ -c /dev/null ]; echo $?
[ -c f ]; echo $?
[ -S f ]; echo $?; [ -b f ]; echo $?
[ -k f ]; echo $?; [ -u f ]; echo $?; [ -g f ]; echo $?
[ -O f ]; echo $?; [ -G f ]; echo $?
[ f -ef f ]; echo $?; [ f -ef /dev/null ]; echo $?

#### -v with a subscript tests that element
a=(1); [[ -v a[0] ]]; echo $?
[[ -v a[1] ]]; echo $?
test -v 'a[0]'; echo $?
b=([3]=x); [[ -v b[-1] ]]; echo $?
declare -A m=([k]=v); [[ -v m[k] ]]; echo $?; [[ -v m[j] ]]; echo $?

#### negative subscripts count back from the highest index plus one
a=(1 2 3); unset 'a[-1]'; declare -p a
a=([0]=x [10]=y); echo ${a[-1]}
a[-1]=z; echo ${a[@]}; echo ${!a[@]}
a[-2]=w; echo ${!a[@]}
unset 'a[-11]'; echo ${!a[@]}
unset 'a[-20]'; echo "st=$?"

#### unset -v and -f keep to variables and functions
f() { echo fn; }; f=1; unset -v f; f; echo ${f-unset}
f=2; unset -f f; echo $f; f; echo $?
g=2; g() { echo gf; }; unset g; g; echo ${g-unset}; unset g; g; echo $?

#### printf %q quotes for eval
eval "echo $(printf %q 'a;echo INJECTED')"
printf '%q|' 'a b' '' '~x' 'a~b' '#a' 'a#b' 'a,b' 'a=b' 'x{y}' "a'b" '\' 'a:~b' '-x' 'a.b/c_d'; echo
printf '%q|' $'tab\tx' $'nl\nx' $'\x01' $'\e' $'\x7f' $'a\\b\x01'; echo
printf '%5q|%-5q|\n' a b; printf '%q %q\n' a

#### printf reads numbers as C does
printf '%d %x\n' "'a" 0x1F
printf '%d\n' abc; echo "st=$?"
printf '%d|' 12abc 010 0x10 -0x10 " 12" "12 " +5 "" "'"; echo; echo "st=$?"
printf '%ld %lld %hd %zu %jd %Lf %hhd\n' 1 2 3 4 5 7.5 6
printf '%u %i %.3d %+d % d %#x %#o %05d %.0d|\n' -1 7 5 3 4 255 8 -42 0
printf '%x %o\n' -1 -1
printf '%f\n' abc; echo "st=$?"
printf '%.2f\n' 1e; echo "st=$?"

#### printf %e and %g format as C does
printf '%e|%E|%g|%G|%.3e|%10.2g|%g|%g|%g\n' 1234.5 0.000123 100000 1e-5 3.14159 1234567 1e100 0 -inf
printf '%#g|%g|%g|%+.2e|% g|%-8e|\n' 1 0.0001 123456789 5 3 1
printf '%g %g %g %G\n' 0.00001234 123456 1234567 nan

#### declare -x, -r and +x
declare -x V=1; printenv V
declare -r R=2; (R=3) 2>/dev/null; echo "st=$?"; echo $R
declare -rx B=1; declare -p B V R
declare +x V; printenv V; echo "st=$?"
declare -x W; declare -p W
declare -a -r ra=(1); declare -p ra
declare -r R=5 2>/dev/null; echo "st=$?"

#### declare -f and -F list functions
f() { echo hi; }
g() { local x=1; if true; then echo a | cat; fi; }
declare -F
declare -F f nosuch; echo "st=$?"
declare -f f
declare -f nosuch; echo "st=$?"
declare -f g
declare -f

#### an alias may start with its own name
shopt -s expand_aliases
alias e='echo -n hi'
alias echo='echo -n hi'
alias x='e'
x there; echo
e z; echo
