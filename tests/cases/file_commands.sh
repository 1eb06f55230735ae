#### mkdir -p, touch, cp -r and ls -R
mkdir w && cd w
mkdir -p d/e && touch d/e/f && cp -r d x && ls -R x
echo "status $?"

#### ls lists one name per line, hidden names only with -a or -A
mkdir w && cd w
mkdir d
touch d/b d/a d/.h
ls d
ls -A d
ls -a d
ls -d d
echo "status $?"

#### ls on a file operand and on a missing operand
mkdir w && cd w
touch f
ls f
ls missing
echo "status $?"

#### ls -R skips hidden directories unless -a
mkdir w && cd w
mkdir -p t/.hid/in t/vis
touch t/.hid/in/x t/vis/y
ls -R t
ls -RA t

#### mkdir without -p on an existing directory, and with a missing parent
mkdir w && cd w
mkdir d
mkdir d
echo "status $?"
mkdir -p d
echo "status $?"
mkdir a/b
echo "status $?"

#### rmdir refuses a non-empty directory
mkdir w && cd w
mkdir -p d/e
rmdir d
echo "status $?"
rmdir d/e d
echo "status $?"
ls

#### rm: files, directories, -r, -f and missing operands
mkdir w && cd w
mkdir d
touch d/f g
rm d
echo "status $?"
rm -r d g
echo "status $?"
ls
rm -f nothing
echo "status $?"
rm -rf nothing
echo "status $?"
rm -f
echo "status $?"

#### rm -r removes a link to a directory, not the directory
mkdir w && cd w
mkdir real
touch real/keep
ln -s real link
rm -r link
ls real

#### rm -- -f removes a file named -f
mkdir w && cd w
touch ./-f
rm -- -f
ls

#### cp into a directory, onto a new name, and several sources
mkdir w && cd w
echo a > a
echo b > b
mkdir d
cp a d
cp a c
cp a b d
ls d
cat c
cp a b c
echo "status $?"

#### cp -r twice merges into the copy
mkdir w && cd w
mkdir -p src/sub
echo 1 > src/sub/f
cp -r src dst
cp -r src dst
ls -R dst

#### cp -p keeps the mode
mkdir w && cd w
echo x > f
chmod 640 f
cp -p f g
stat -c '%a' g
cp f h
stat -c '%a' h

#### mv renames and moves into a directory
mkdir w && cd w
echo a > a
mkdir d
mv a b
ls
mv b d
ls d
touch x y z
mv x y z
echo "status $?"

#### ln -s stores the target as typed
mkdir w && cd w
ln -s ../nowhere link
readlink link
ls link
ln -s other link
echo "status $?"

#### chmod octal and symbolic
mkdir w && cd w
touch f
chmod 755 f
stat -c '%a' f
chmod u-x,g+w f
stat -c '%a %s %n' f
chmod go-rwx f
stat -c '%a' f
chmod a=r,u+w f
stat -c '%a' f
chmod =r f
stat -c '%a' f

#### chmod -R
mkdir w && cd w
mkdir -p d/e
touch d/e/f
chmod -R 700 d
stat -c '%a %n' d d/e d/e/f

#### stat formats
mkdir w && cd w
printf hello > f
mkdir d
stat -c '%s %B %o %n' f
stat -c '%s %n' d
stat -c '%F' f
stat -c '%F' d
stat -c '100%%' f
stat --format=%s f
stat -c %F missing
echo "status $?"

#### du sizes of a small tree
mkdir w && cd w
mkdir -p d/b
printf hello > d/a
printf c > d/b/c
du d
du -s d
du -sh d
du -b d/a
du -c d/a d/b/c
du --max-depth=0 d
du -d 1 d

#### basename and dirname
mkdir w && cd w
basename /a/b.txt .txt
basename /a/b/
basename /
basename ''
basename a.txt .txt
basename .txt .txt
dirname a/b
dirname /a/b
dirname a
dirname /a
dirname a/b/

#### realpath and readlink
mkdir w && cd w
mkdir -p w/real
ln -s real w/link
cd w
realpath -m a/../b | sed "s|.*/w/||"
realpath link | sed "s|.*/w/||"
readlink link
readlink -f link | sed "s|.*/w/||"
readlink real
echo "status $?"

#### install -D and -m, and install -d
mkdir w && cd w
printf data > src
install -D -m 644 src dst/deep/file
stat -c '%a %s' dst/deep/file
install src plain
stat -c '%a' plain
install -d one two
stat -c '%a %F' one two
install -Dm600 src t
stat -c '%a' t

#### truncate sets, extends and reduces
mkdir w && cd w
truncate -s 1K f
stat -c %s f
truncate -s +10 f
stat -c %s f
truncate -s -100 f
stat -c %s f
truncate -s 2KB f
stat -c %s f
truncate -c -s 10 absent
ls
truncate -s 5 .
echo "status $?"

