#### grep -q prints no counts
printf 'b\n' | grep -q -c z; echo "rc=$?"
#### grep -l replaces the counts of -c
printf 'a\n' > f1; printf 'b\n' > f2; grep -c -l a f1 f2; echo "rc=$?"
#### grep pattern with newlines is a list
printf 'a\nb\nc\n' | grep 'a
c'
#### grep -F pattern list with newlines
printf 'x.y\nb\nc\n' | grep -F -e 'x.y
c'
#### basic repetition operators at the start are literal
printf '+a\n?\n{2}\nab\n' | grep -o -e '^\+a' -e '\(\?\)' -e '^\{2\}'
#### basic repeated repetition is greedy
printf 'aaab\n' | grep -o 'a*\?b'; printf 'aaab\n' | sed 's/a\+\+/X/'; printf 'xaaaa\n' | grep -o 'a\{1\}\{2\}'
#### patch places hunks without context by their headers
printf '1\n2\n3\n4\n5\n' > f
printf '%s\n' '--- a/f' '+++ b/f' '@@ -1,0 +2 @@' '+x' '@@ -3 +3,0 @@' '-3' '@@ -5 +5 @@' '-5' '+five' > p
patch -p1 -i p >/dev/null; echo "rc=$?"; cat f
#### patch inserts a hunk without context after the named line
printf 'a\nb\n' > f
printf '%s\n' '--- f' '+++ f' '@@ -2,0 +3,2 @@' '+c' '+d' > p
patch -p0 < p >/dev/null; echo "rc=$?"; cat f
