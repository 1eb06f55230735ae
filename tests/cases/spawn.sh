#### yes ends with a broken pipe once head is done
yes | head -n 1
echo "${PIPESTATUS[@]}"

#### sleep statuses
sleep 0; echo "zero $?"
sleep 0.1 0.05s; echo "sum $?"
sleep 2>/dev/null; echo "missing $?"
sleep x 2>/dev/null; echo "invalid $?"

#### timeout ends a command at its deadline
timeout 1 sleep 5; echo "expired $?"
timeout 5 true; echo "done $?"
timeout 0 sh -c 'exit 7'; echo "no deadline $?"
timeout --preserve-status 1 sleep 5; echo "preserved $?"
timeout -s INT 1 sleep 5; echo "int $?"
timeout 3 echo through

#### timeout refusals
timeout 2>/dev/null; echo "missing $?"
timeout 1 2>/dev/null; echo "no command $?"
timeout -x 1 true 2>/dev/null; echo "option $?"

#### env builds the command's environment
env -i A=1 env
env -i A=1 B==2 env
env -i X=1 Y=2 env -u X env
env -i GREETING=hello sh -c 'echo "$GREETING"'
env -i; echo "empty $?"
env -C / pwd
env sh -c 'exit 4'; echo "status $?"

#### env refusals
env -x 2>/dev/null; echo "option $?"
env -u 2>/dev/null; echo "argument $?"
env -C /no/such/dir pwd 2>/dev/null; echo "chdir $?"

#### nice and nohup run their command
nice -n 5 echo hi
nice -5 echo five
nice --adjustment=3 -- echo adjusted
nice -n 5 true; echo "true $?"
nice -n x true 2>/dev/null; echo "bad $?"
nohup echo held
nohup -- echo dashed
nohup sh -c 'exit 3'; echo "nohup $?"
nohup 2>/dev/null; echo "missing $?"

#### xargs batches its items
printf '1 2 3 4 5' | xargs -n 2 echo
printf 'a \tb\nc' | xargs echo
printf 'p q' | xargs
printf '1\n2\n' | xargs -I X echo pre-X-post
printf 'a\0b c\0' | xargs -0 -n 1 echo
printf '' | xargs echo once
printf ' \n' | xargs -r echo never; echo "r $?"
printf 'x' | xargs sh -c 'exit 0'; echo "last $?"

#### xargs refusals
printf a | xargs -n 0 2>/dev/null; echo "zero $?"
printf a | xargs -p 2>/dev/null; echo "unsupported $?"
