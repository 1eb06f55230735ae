#### find selects by name and type in the working directory
printf 'x' > fa.txt
printf 'hello\n' > fb.txt
: > fc.log
find . -maxdepth 1 -name 'f*.txt' | sort
find . -maxdepth 1 -type f -name 'f*' | sort
find . -maxdepth 1 -name 'f*' ! -name '*.txt'
echo "status $?"

#### find -o, -prune and parentheses
printf 'x' > fa.txt
: > fc.log
find . -maxdepth 1 \( -name fa.txt -o -name fc.log \) -print | sort
find . -maxdepth 1 -name fa.txt -prune -o -name 'f*' -print

#### find -size
printf 'x' > fa.txt
printf 'hello\n' > fb.txt
: > fc.log
find . -maxdepth 1 -name 'f*' -size 6c
find . -maxdepth 1 -name 'f*' -size -1 -type f
find . -maxdepth 1 -name 'f*' -size +1c
find . -maxdepth 1 -name 'f*' -empty

#### find -exec one command per entry and in batches
printf 'x\n' > fa.txt
printf 'hello\n' > fb.txt
find . -maxdepth 1 -name 'f*.txt' -exec cat {} \; | sort
find . -maxdepth 1 -name fb.txt -exec echo found {} \;
find . -maxdepth 1 -name fb.txt -exec false \; -print
echo "status $?"
find . -maxdepth 1 -name fb.txt -exec false {} +
echo "status $?"
find . -maxdepth 1 -name 'fb*' -exec echo batch {} +

#### find -delete
: > fd1
: > fd2
find . -maxdepth 1 -name 'fd*' -delete
find . -maxdepth 1 -name 'fd*'
echo "status $?"

#### find with a missing start path
find missing-path -name x
echo "status $?"
