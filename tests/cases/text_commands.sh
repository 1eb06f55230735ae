#### seq prints a value its increment cannot change once
seq 1e17 1e17
seq 9007199254740992 9007199254740992

#### printf keeps every digit of a long fixed-point precision
printf '%.1000f' 1.5 | wc -c
printf '%.1000f' 1.5 | cut -c 995-
printf '%.3000f' 0.5 | md5sum

#### text commands pass NUL bytes through
printf 'a\0b\nc\0\0d\n' | tac | md5sum
printf 'a\0b\nc\0\0d\n' | tr a x | md5sum
printf 'a\0b\nc\0\0d\n' | sort -r | md5sum
printf 'a\0b\nc\0\0d\n' | cut -c 1-3 | md5sum

#### escapes spell bytes
printf '\303\251\n'
printf -- '%s|%b\n' x '\x41\303\251'
echo -e 'a\xc3\xa9b'
