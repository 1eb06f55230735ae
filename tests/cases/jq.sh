# jq filters of the supported subset, compared with the host's jq. Deliberate differences are
# kept out of this file (see the notes at its end).
#### field and compact output
echo '{"a":[1,2]}' | jq -c .a
#### select over an iteration with raw output
echo '{"items":[{"n":1,"name":"x"},{"n":2,"name":"y"},{"n":3,"name":"z"}]}' | jq -r '.items[] | select(.n > 1) | .name'
#### indented output of nested values
echo '{"b":1,"a":[1,{"c":null,"d":[]},{}],"e":"t\tq\"/é"}' | jq .
#### indent widths
echo '{"a":[1,{"b":2}]}' | jq --indent 4 .; echo '{"a":[1]}' | jq --indent 0 .; echo '[1,[]]' | jq --indent 7 .
#### keys, keys_unsorted, length, type
echo '{"b":1,"a":2}' | jq -c '[keys, keys_unsorted, length, type]'; echo '[5,6]' | jq -c keys
#### length of strings, arrays, null and numbers
echo '"hé!" [1,2,3] null -5 {"a":1}' | jq length
#### to_entries
echo '{"x":1,"y":[2]}' | jq -c to_entries
#### sort_by keeps equal keys in input order
echo '[{"a":2,"i":0},{"a":1},{"a":2,"i":1},{"b":0}]' | jq -c 'sort_by(.a)'
#### sort_by with two keys
echo '[{"a":1,"b":2},{"a":1,"b":1},{"a":0,"b":9}]' | jq -c 'sort_by(.a, .b)'
#### add over numbers, strings, arrays and objects
echo '[1,2,3] ["a","b"] [] [[1],[2]] [{"a":1,"b":2},{"a":3,"c":4}]' | jq -c add
#### has and contains
echo '{"a":null,"b":"foobar"}' | jq -c '[has("a"), has("z"), (.b | contains("bar")), ({"a":[1,2],"b":3} | contains({"a":[1]}))]'
#### has on arrays
echo '[1,2]' | jq -c '[has(0), has(1), has(2)]'
#### split
echo '"a,b,,c"' | jq -c 'split(",")'; echo '"abc"' | jq -c 'split("b")'
#### tonumber and values
echo '"7" " 12 " 3' | jq tonumber; echo 'null false 1' | jq -c values
#### slices of arrays and strings
echo '[1,2,3,4,5]' | jq -c '[.[1:3], .[-2:], .[:2], .[3:1], .[:10]]'; echo '"héllo"' | jq -c '[.[1:], .[-2:]]'
#### indexes
echo '[10,20,30]' | jq -c '[.[0], .[-1], .[5], .[-4]]'; echo '{"a":{"b":[7]}}' | jq '.a.b[0]'; echo '{"k":"a","a":1}' | jq '.[.k]'
#### object construction multiplies
echo '[1,2]' | jq -c '{a: .[], b: .[]}'
#### array construction and addition
echo '[1,2]' | jq -c '[.[] + .[]]'
#### comparisons and order between kinds
jq -n -c '[null < false, false < true, true < 0, 0 < "", "" < [], [] < {}, [1,2] < [1,3], "ab" < "abc", "B" < "a"]'
#### equality of arrays and objects
jq -n -c '[[1,2] == [1,2], {"a":1,"b":2} == {"b":2,"a":1}, "x" != "y", 1 == 2]'
#### and, or and if
echo '[false, 1]' | jq -c '[.[0] and .[1], .[0] or .[1]]'; echo '[false, 1]' | jq 'if .[1] then "y" else "n" end'
#### arithmetic and negation
jq -n -c '[40 + 2, 0.1 + 0.2, -(3), 1 + null, null + null, 1 + -2]'
#### variables from arguments
jq -n -c --arg x 1 --argjson v '{"a":[1]}' '[$x, $v.a[0]]'
#### slurp and null input
printf '1 2\n[3]' | jq -c -s .; printf '' | jq -c -s .; jq -n .
#### empty input prints nothing
printf '' | jq .; echo "rc=$?"
#### exit statuses with -e
printf '1 false' | jq -e . >/dev/null; echo "rc=$?"; printf 'false 1' | jq -e . >/dev/null; echo "rc=$?"; echo null | jq -e . >/dev/null; echo "rc=$?"
#### iterating over a number fails
echo 3 | jq '.[]' 2>/dev/null; echo "rc=$?"
#### several inputs from files
echo '{"a":1}' > x.json; printf '{"a":2}\n{"a":3}' > y.json; jq -c .a x.json y.json
#### a missing file
jq . missing.json 2>/dev/null; echo "rc=$?"
#### a sequence of values without separators
printf '1 2 [3]{"a":4}"x"' | jq -c .
#### duplicate keys keep the last value
echo '{"a":1,"b":2,"a":3}' | jq -c .
#### raw output of strings only
echo '"a\tb" [1,"x"]' | jq -r .
#### numbers with the same value are equal
echo '{"x":1.0}' | jq -c '[.x == 1, 1 != 1.0, (.x | contains(1))]'
#### equal comparisons of an integer and a float
jq -n -c '[1 < 1.0, 1 > 1.0, 1 <= 1.0, 1 >= 1.0]'

# Deliberate differences from the host's jq, kept out of the blocks above:
# - the language is a subset: no top-level comma, no `//`, `?`, reduce, def, and only the
#   functions select, length, split, sort_by, contains, tonumber, keys, keys_unsorted, values,
#   type, has, to_entries and add (map and the others end with status 3, "unsupported filter");
# - numbers keep their text: 1.0, 1.50 and 1E5 print as written, and 1.0 + 2 gives 3.0;
# - results are written only after every input was evaluated: an error prints no results;
# - messages have this system's wording; an input parse error exits 2; -e without output exits 4;
# - a repeated --arg NAME takes the last value; -c wins over --indent;
# - integers add exactly within 64 bits; an `if` condition with several outputs picks one branch;
# - indexing an array with a string or an object with a number gives null;
# - splitting the empty string gives [""]; --help prints a one-line usage and -h is refused.
