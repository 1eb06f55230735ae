#### cat through a pipeline
echo hi | cat | cat | cat

#### cat numbers lines across files
printf 'one\ntwo' > a
printf 'three\nfour\n' > b
cat -n a b

#### cat reads standard input for a dash
printf 'mid\n' | cat a - b

#### cat with a missing file goes on
printf 'x\n' > present
cat missing present
echo "status $?"

#### cat from a redirection
printf 'r1\nr2\n' > f
cat < f
cat -- - < f

#### yes into head
yes | head -n 3
yes abc def | head -c 10
echo

#### head of several files prints headers
printf '1\n2\n3\n' > a
printf '4\n5\n6\n' > b
head -n 2 a b
head -2 a

#### head counts bytes
printf 'abcdef' | head -c 3
echo
printf 'ab' | head -c 5
echo

#### head with zero lines
printf '1\n2\n' | head -n 0
echo "status $?"

#### head refuses a bad count
head -n abc < /dev/null
echo "status $?"

#### tee copies to files and standard output
printf 'x\ny\n' | tee t1 t2
cat t1 t2

#### tee appends
printf 'first\n' | tee -a log > /dev/null
printf 'second\n' | tee -a log > /dev/null
cat log

#### true and false
true; echo $?
false; echo $?

#### numbered long pipeline
yes line | head -n 1200 | cat -n | head -c 40
