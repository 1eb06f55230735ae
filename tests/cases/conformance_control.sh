#### here-document with expansion
x=world; cat <<EOT
hello $x
$(echo sub) $((1+2))
EOT

#### quoted here-document delimiter
x=world; cat <<'EOT'
hello $x `date`
EOT

#### here-document with tab stripping
cat <<-EOT
	indented
		more
	EOT

#### here-string
read a b <<< "one two three"; echo "$a|$b"; cat <<< 'x y'

#### two here-documents on one command line
cat <<A; cat <<B
first
A
second
B

#### here-document in a loop body
for i in 1 2; do cat <<EOT
item $i
EOT
done

#### redirect stderr to stdout
{ echo out; echo err >&2; } 2>&1 | cat

#### order of redirections matters
{ echo err >&2; } 2>&1 >/dev/null | cat; echo ---; { echo err >&2; } >/dev/null 2>&1 | cat; echo done

#### closing stdout
( echo hidden >&- ) 2>/dev/null; echo $?

#### read-write redirection
printf 'abc\n' > /tmp/rw.$$; exec 3<>/tmp/rw.$$; read -r line <&3; echo "$line"; exec 3>&-; rm -f /tmp/rw.$$ 2>/dev/null; true

#### exec opens a file descriptor for writing
f=/tmp/ex.$$; exec 4>$f; echo one >&4; echo two >&4; exec 4>&-; cat $f

#### exec fd duplication and restore
exec 5>&1; exec >/dev/null; echo lost; exec 1>&5 5>&-; echo back

#### append redirection
f=/tmp/ap.$$; echo a > $f; echo b >> $f; cat $f

#### redirection on a compound command
f=/tmp/cc.$$; { echo a; echo b; } > $f; while read -r l; do echo "got $l"; done < $f

#### functions and locals
x=global; f() { local x=local; echo $x; g; }; g() { echo g sees $x; }; f; echo $x

#### local without value shadows
x=1; f() { local x; echo "[${x-unset}]"; x=2; }; f; echo $x

#### function return status
f() { return 3; }; f; echo $?; g() { false; }; g; echo $?

#### recursion factorial
fact() { if (( $1 <= 1 )); then echo 1; else echo $(( $1 * $(fact $(( $1 - 1 ))) )); fi; }; fact 10

#### recursion fibonacci with locals
fib() { local n=$1; if ((n<2)); then r=$n; return; fi; fib $((n-1)); local a=$r; fib $((n-2)); r=$((a+r)); }; fib 15; echo $r

#### function positional parameters
f() { echo $# "$1" "$2"; shift; echo "$@"; }; set -- outer; f a 'b c' d; echo $1

#### case patterns
for w in apple Banana cherry 42 ''; do case $w in a*) echo "a: $w";; [A-Z]*) echo "upper: $w";; *[0-9]*) echo "num: $w";; '') echo empty;; *) echo "other: $w";; esac; done

#### case with alternatives and fallthrough
case b in a|b) echo ab;& c) echo c;; d) echo d;; esac; case x in x) echo x;;& *) echo star;; esac

#### case with quoted pattern
p='*'; case abc in "$p") echo lit;; $p) echo glob;; esac

#### [[ ]] regex with captures
s='key=value'; if [[ $s =~ ^([a-z]+)=(.*)$ ]]; then echo "${BASH_REMATCH[0]} ${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"; fi

#### [[ ]] glob matching and quoting
[[ abc == a* ]] && echo glob; [[ abc == "a*" ]] || echo literal; [[ a.c == a?c ]] && echo q

#### [[ ]] string and numeric comparisons
[[ b > a ]] && echo gt; [[ 10 -gt 9 ]] && echo num; [[ -z "" && -n x ]] && echo zn; [[ ! -e /nonexistent ]] && echo ne

#### [[ ]] regex from a variable
re='^[0-9]+$'; for v in 123 12a; do [[ $v =~ $re ]] && echo "$v yes" || echo "$v no"; done

#### break and continue with levels
for i in 1 2 3; do for j in a b c; do [[ $j == b ]] && continue 2; [[ $i == 3 ]] && break 2; echo $i$j; done; done; echo end

#### while loop with counter
i=0; while (( i < 5 )); do ((i++)); (( i == 2 )) && continue; echo $i; done

#### until loop
n=3; until (( n == 0 )); do echo $n; ((n--)); done

#### C-style for
for ((i=0, j=10; i<3; i++, j--)); do echo $i $j; done

#### for over "$@"
set -- 'a b' c; for x; do echo "<$x>"; done

#### continue with a too large count
for i in 1 2; do for j in a b; do continue 5; echo no; done; echo no2; done; echo end

#### exit inside a loop in a function
f() { for i in 1 2; do (exit 4); done; return $?; }; f; echo $?

#### ERR trap with set -e
set -e; trap 'echo "err trap $?"' ERR; false; echo never

#### EXIT trap runs after set -e stops
set -e; trap 'echo "exit trap $?"' EXIT; false; echo never

#### EXIT trap with exit inside a function
trap 'echo bye' EXIT; f() { exit 3; }; f; echo never

#### source sees and changes local variables
f=/tmp/src2.$$; printf 'x=$((x+1))\n' > $f; g() { local x=1; . $f; echo $x; }; g

#### eval with a syntax error
eval 'if' 2>/dev/null; echo $?

#### eval returns the last status
eval 'false; true'; echo $?; eval 'true; false'; echo $?

#### nested eval and quoting
a='b'; b='c'; eval echo \$$a; eval "eval echo \\\$\$a"

#### while loop reading a here-document with a counter
n=0; while read -r _; do n=$((n+1)); done <<EOT
a
b
c
EOT
echo $n

#### wait for a specific job while others run
(sleep 0.2; exit 1) & a=$!; (exit 2) & b=$!; wait $b; echo $?; wait $a; echo $?

#### kill with a signal name to a job
sleep 5 & kill -s INT $!; wait $!; echo $?

#### kill -0 on a finished job
(exit 0) & p=$!; wait $p; kill -0 $p 2>/dev/null; echo $?

#### disown then wait has nothing
sleep 0.1 & disown; wait; echo $?

#### jobs after all finished and waited
(exit 1) & wait; jobs; echo listed

#### process substitution with diff-like comparison
cat <(printf 'x\n') <(printf 'y\n') | tr -d '\n'; echo

#### command substitution inside a here-document inside a command substitution
v=$(cat <<EOT
a $(echo b)
EOT
); echo "$v"

#### arithmetic expansion with command substitution and variables
n=4; echo $(( $(echo $n) * n + ${#n} ))

#### case in a function with return values
kind() { case $1 in *.sh) return 0;; *) return 1;; esac; }; kind a.sh && echo script; kind a.txt || echo other

#### pattern matching with extglob-free alternatives in case
for f in a.tar.gz b.zip c; do case $f in *.tar.gz|*.tgz) echo "$f tarball";; *.zip) echo "$f zip";; *) echo "$f ?";; esac; done

#### loop over sorted associative keys
declare -A h=([b]=2 [a]=1); for k in $(printf '%s\n' "${!h[@]}" | sort); do echo $k=${h[$k]}; done

#### string building in a loop
s=; for i in {1..5}; do s+=$i,; done; echo ${s%,}

#### reverse a string with substring expansion
s=hello; r=; for ((i=${#s}-1; i>=0; i--)); do r+=${s:i:1}; done; echo $r

#### counting words with read -a
n=0; while read -ra w; do n=$((n+${#w[@]})); done <<< $'a b c\nd e'; echo $n

#### test numeric comparisons with negative numbers
[ -3 -lt 2 ] && echo lt; [[ -10 -lt -2 ]] && echo lt2; (( -3 < 2 )) && echo lt3
