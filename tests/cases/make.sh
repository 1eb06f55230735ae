#### make builds by file times
printf 'all: out.txt\nout.txt: in.txt\n\ttr a-z A-Z < in.txt > out.txt\n' > Makefile
echo hello > in.txt
make out.txt; echo "status $?"
cat out.txt
make; echo "status $?"
make out.txt
sleep 1; echo more >> in.txt
make out.txt; cat out.txt

#### make recipe prefixes, -s and -n
printf 'x:\n\techo hi\n\t@echo quiet\n\techo after\n' > Makefile
make; make -s; make -n; make -ns; make --dry-run x

#### make automatic and ordinary variables
printf 'X = $(Y)\nY = hello\nout: in1 in2\n\t@echo $@ $< $^ $(X) ${X} [$(Z)]\nin1 in2:\n\t@echo $@\n' > Makefile
make; make X=other; make Y=bye out
printf 'all:\n\t@echo $$HOME\n' > Makefile
make

#### make -f and goals
printf 'all:\n\t@echo all\nother:\n\t@echo other\n' > build.mk
make -s -f build.mk
make -s -f build.mk other all
make --file build.mk other

#### make failures and keep-going
printf 'all: a b\na: c\n\t@echo a\nc:\n\t@false\nb:\n\t@echo b\n' > Makefile
make 2>/dev/null; echo "status $?"
make -k 2>/dev/null; echo "status $?"
printf 'x:\n\t@-false\n\t@echo after\n' > Makefile
make 2>/dev/null; echo "status $?"

#### make phony targets and cycles
printf '.PHONY: clean\nclean:\n\t@echo cleaning\n' > Makefile
touch clean
make clean
printf 'a: b\n\t@echo a\nb: a\n\t@echo b\n' > Makefile
make 2>/dev/null

#### make statuses of refusals
make 2>/dev/null; echo "status $?"
printf 'all: missing\n' > Makefile
make 2>/dev/null; echo "status $?"
