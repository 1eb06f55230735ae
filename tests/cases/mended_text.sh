#### sort applies its keys in order and breaks ties by the whole line
printf 'c 3\nb 2\nd 2\n' | sort -k2,2n -k1,1
printf '1\n01\n' | sort -n
printf '1\n01\n' | sort -nu
printf 'a 1\nb 1\nc 2\n' | sort -s -r -k2
printf 'a 1\nb 1\nc 2\n' | sort -r -k2
printf 'x\nb a\na b c\n' | sort -k3
printf 'a  x\nb y\n' | sort -k2
printf '10abc\n9\n-1\n' | sort -n
printf 'B\nb\na\nA\n' | sort -f
printf 'B\nb\na\nA\n' | sort -fu
printf 'a 2\na 1\n' | sort -k1,1 -u
printf 'x:3:b\ny:1:a\nz:1:c\n' | sort -t: -k2,2n -k3r
printf 'b 1 x\na 1 y\nc 0 z\n' | sort -k2,3

#### paste shares standard input between its - operands
seq 4 | paste - -
seq 5 | paste - - | tr '\t' @
printf 'a\nb\n' > pf; seq 5 | paste - pf -
seq 6 | paste -d ':,' - - -
seq 4 | paste -d '\t\\' - - - | tr '\t' @
seq 4 | paste -d '\0' - -
seq 4 | paste -d '\n' - -

#### xargs -I takes each line as one item
printf 'my file\n' | xargs -I{} echo rm {}
printf '  my file  \n\nsecond  x\n' | xargs -I{} echo "[{}]"
printf 'a\0b c\0' | xargs -0 -I{} echo "[{}]"

#### tr knows every class and complements in every mode
printf 'a1-F;g\n' | tr -cd '[:xdigit:]'; echo
printf 'a,b.c!d\n' | tr -d '[:punct:]'
printf 'ab 12\tx\n' | tr '[:alnum:]' 'X'
printf 'a b\tc\n' | tr -d '[:blank:]'
printf 'aB3~ x\n' | tr -d '[:graph:]' | tr ' ' @
printf 'a\001b\n' | tr -d '[:cntrl:]'; echo
printf 'a b\n' | tr -d '[:print:]' | wc -c
printf 'hello, world\n' | tr -c 'a-z\n' '_'
printf 'one  two,,three\n' | tr -cs 'a-z' '\n'
printf 'aa  bb\n' | tr -cs 'a'
printf 'x-y\\z\n' | tr '[:punct:]' '.'

#### checksum -c fails on a list with no valid line
printf 'garbage\n' > l; md5sum -c l; echo "st=$?"
printf 'garbage\n' | sha256sum -c; echo "st=$?"
: > e; sha1sum -c e; echo "st=$?"

#### cksum prints the POSIX CRC
printf 'hello\n' | cksum
printf 'hello\n' > h; cksum h
: | cksum
printf 'abcdefghijklmnopqrstuvwxyz%.0s' $(seq 20) | cksum

#### seq writes decimals as its operands do
seq 3 .3 4
seq 0 0.1 0.3
seq 1 0.5 2.25
seq 1.5 3
seq 1 2.50
seq 0.1 0.1 0.5
seq 1 0.25 2
seq -1 0.5 1
seq 1 1.0 3
seq 10 -.5 8
seq 1.10 1.2 5
seq 0.1 0.1 1e1 | tail -2

#### grep -w needs non-word characters around the match
echo 'use -v here' | grep -w -e -v
echo 'abc' | grep -w '^'; echo "st=$?"
echo 'foo foobar' | grep -ow 'foo.*'
echo 'xfoo foo' | grep -cw foo
echo 'foobar barfoo' | grep -w foo; echo "st=$?"
echo 'a_b a' | grep -ow a

#### grep -r without an operand searches the working directory
mkdir -p d/e 2>/dev/null || true
echo hit > top
grep -r hit; echo "st=$?"

#### cut writes each selected position once, in input order
echo abcdef | cut -c 1-3,2-4
echo a:b:c | cut -d: -f3,1
echo abcdef | cut -c 5-,2,1-2
echo a:b:c:d | cut -d: -f 2-,1-2

#### uniq -d -u prints nothing
printf 'a\na\nb\n' | uniq -d -u; echo "st=$?"
