#### bc arithmetic and scale
echo 'scale=4; sqrt(2)' | bc
echo '2^100' | bc
echo '2^300' | bc
echo '7 % 3; -7 / 2' | bc
echo '1/3; scale=5; 1/3; scale=2; -7/2; 7%3; -7%3; 5.5%2' | bc
echo '1.50*2; 0.5*0.5; 2^-1; scale=3; 2^-1' | bc
echo 'length(123.45); length(.005); scale(1.50); scale(0.000); length(0)' | bc
echo '007; 1.50; .5; 5.; -.5; 0.000; 2^64' | bc

#### bc variables and loops
echo 'a = 5; a; ++a; a++; a; x = 1; x += (x = 5); x' | bc
echo 'for (i = 0; i < 3; i++) i; i = 0; while (i < 3) { i; i = i + 1 }; for (;;) break; 5' | bc
printf 'x = 3\nx *= 2; x\n"done"\n' | bc
echo 'ibase=10; ibase; obase' | bc
echo '1/0
2' | bc 2>/dev/null; echo "status $?"

#### bc reads files before standard input
printf 'x = 4\nx * 2\n' > prog.bc
echo 'x + 1' | bc -q prog.bc

#### expr values and arithmetic
expr 007 + 1
expr -7 % 2; expr -7 / 2
expr 2 '*' 3 + 1; expr 10 - 2 - 3
expr 99999999999999999999 + 1
expr 123456789012345678901234567890 '*' 10
expr 10 '<' 9; echo $?
expr 10 '<' 9a; expr ab '<' abc; expr 2 '>=' 02
expr 0 '|' ''; echo $?
expr a '|' b; expr 0 '|' b; expr a '&' 0; echo $?

#### expr strings and matching
expr length abc
expr substr hello 2 3; expr substr hello 0 3; echo $?
expr index hello ol
expr abc : 'a\(.\)'; expr abc : 'a.'; expr abc : 'x\(.\)'; echo $?
expr match abc 'a\(b*\)'
expr + length; expr length + 2; expr length 1 + 2

#### expr statuses
expr 7 / 0 2>/dev/null; echo $?
expr 1 + 2>/dev/null; echo $?
expr 2>/dev/null; echo $?
expr 1 2 2>/dev/null; echo $?
