// The jq command: options, inputs, output forms, statuses, messages, the filter language and its
// budgets.
#include <gtest/gtest.h>

#include <string>

#include "case_fixture.h"
#include "commands/jq/filter.h"
#include "commands/jq/json.h"
#include "commands/jq/value_ops.h"
#include "harness/action.h"
#include "kernel/machine.h"

namespace tw::command_test {
namespace {

std::string repeat(std::string_view piece, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += piece;
    return s;
}

TEST(Jq, CommandLineAndStatuses) {
    expect_cases({
        {"echo '{\"a\":[1,2]}' | jq -c .a", "[1,2]\n"},
        {"jq", "{\n  \"a\": 1\n}\n", 0, "", "{\"a\":1}"},
        {"jq -n 1", "1\n"},
        {"jq -n . missing.json", "null\n"},
        {"printf '' | jq -s .", "[]\n"},
        {"printf '' | jq .", ""},
        {"printf '' | jq -e .", "", 4},
        {"printf '1 false' | jq -e .", "1\nfalse\n", 1},
        {"printf 'false 1' | jq -e .", "false\n1\n", 0},
        {"printf '1 2 [3]{\"a\":4}\"x\"' | jq -c -s .", "[1,2,[3],{\"a\":4},\"x\"]\n"},
        {"echo '[1,{\"a\":[]}]' | jq --indent 0 .", "[1,{\"a\":[]}]\n"},
        {"echo '[1,{\"a\":{}}]' | jq --indent 7 .",
         "[\n       1,\n       {\n              \"a\": {}\n       }\n]\n"},
        {"echo '[1]' | jq -c --indent 4 .", "[1]\n"},
        {"echo '[1]' | jq --indent +3 .", "[\n   1\n]\n"},
        {"jq --indent 8 . </dev/null", "", 2, "jq: --indent must be between 0 and 7\n"},
        {"jq --indent -1 . </dev/null", "", 2, "jq: --indent must be between 0 and 7\n"},
        {"jq --indent x . </dev/null", "", 2, "jq: --indent must be between 0 and 7\n"},
        {"jq -n --arg x 1 --arg x 2 '$x'", "\"2\"\n"},
        {"jq -n -c --argjson v '{\"a\":1}' '$v'", "{\"a\":1}\n"},
        {"jq -n -c --arg x \"$(printf 'a\\377b')\" '[$x, ($x | length)]'", "[\"a\xEF\xBF\xBD" "b\",3]\n"},
        {"jq -n --argjson v '1 2' '$v'", "", 2,
         "jq: invalid JSON for --argjson v: trailing characters at line 1 column 3\n"},
        {"jq -n --arg x", "", 2, "jq: option --arg requires NAME VALUE\n"},
        {"jq -n --argjson x", "", 2, "jq: option --argjson requires NAME VALUE\n"},
        {"jq --help", "usage: jq [-rcnse] [--arg NAME VALUE] [--argjson NAME JSON] FILTER [FILE...]\n"},
        {"jq -h", "", 2, "jq: unsupported option '-h'\n"},
        {"jq --version", "", 2, "jq: unsupported option '--version'\n"},
        {"jq --indent", "", 2, "jq: option '--indent' requires an argument\n"},
        {"jq -- --arg x y", "", 2, "jq: error: No such file or directory: x\n"},
        {"echo 1 > x; jq -- --arg x", "", 3, "jq: unsupported filter: unsupported function \"arg\"\n"},
        {"echo 7 > ./-; jq . -", "7\n"},
        {"echo '\"a\\tb\" [\"c\"]' | jq -r .", "a\tb\n[\n  \"c\"\n]\n"},
        {"echo '[1.0, 1.50, 1E5, 123456789012345678901, -0]' | jq -c .", "[1.0,1.50,1E5,123456789012345678901,-0]\n"},
        {"echo '\"t\\tq\\\"/é\\u0001\\u007f\"' | jq .", "\"t\\tq\\\"/é\\u0001\x7f\"\n"},
        {"echo '{\"a\":1,\"b\":2,\"a\":3}' | jq -c .", "{\"a\":3,\"b\":2}\n"},
    });
}

TEST(Jq, InputErrors) {
    expect_cases({
        {"printf '1x' | jq .", "", 2, "jq: parse error: trailing characters at line 1 column 2\n"},
        {"printf 'truefalse' | jq .", "", 2, "jq: parse error: trailing characters at line 1 column 5\n"},
        {"printf '{\"a\":' | jq .", "", 2, "jq: parse error: EOF while parsing a value at line 1 column 5\n"},
        {"printf '[1,]' | jq .", "", 2, "jq: parse error: trailing comma at line 1 column 4\n"},
        {"printf '[1 2]' | jq .", "", 2, "jq: parse error: expected `,` or `]` at line 1 column 4\n"},
        {"printf '{1:2}' | jq .", "", 2, "jq: parse error: key must be a string at line 1 column 2\n"},
        {"printf '{\"a\" 1}' | jq .", "", 2, "jq: parse error: expected `:` at line 1 column 6\n"},
        {"printf '\\n nul' | jq .", "", 2, "jq: parse error: EOF while parsing a value at line 2 column 4\n"},
        {"printf 'nux' | jq .", "", 2, "jq: parse error: expected ident at line 1 column 3\n"},
        {"printf '01' | jq .", "", 2, "jq: parse error: invalid number at line 1 column 2\n"},
        {"printf '\"\\\\q\"' | jq .", "", 2, "jq: parse error: invalid escape at line 1 column 3\n"},
        {"printf '\"\\\\ud800x\"' | jq .", "", 2, "jq: parse error: unexpected end of hex escape at line 1 column 8\n"},
        {"printf '\"\\\\udc00\"' | jq .", "", 2,
         "jq: parse error: lone leading surrogate in hex escape at line 1 column 7\n"},
        {"printf '\"a\\tb\"' | jq .", "", 2,
         "jq: parse error: control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3\n"},
        {"printf '@' | jq .", "", 2, "jq: parse error: expected value at line 1 column 1\n"},
        {"echo '{\"a\":1}' > x.json; echo '[' > y.json; jq .a x.json y.json", "", 2,
         "jq: parse error in y.json: EOF while parsing a list at line 2 column 0\n"},
        {"jq . nope.json", "", 2, "jq: error: No such file or directory: nope.json\n"},
        {"printf '\"\\\\ud83d\\\\ude00\"' | jq .", "\"😀\"\n"},
    });
    // 127 nested arrays are read; the 128th level fails.
    Ran ok = run("jq -c .", repeat("[", 127) + repeat("]", 127));
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out, repeat("[", 127) + repeat("]", 127) + "\n");
    Ran deep = run("jq -c .", repeat("[", 128) + repeat("]", 128));
    EXPECT_EQ(deep.status, 2);
    EXPECT_EQ(deep.err, "jq: parse error: recursion limit exceeded at line 1 column 128\n");
}

TEST(Jq, AllOrNothing) {
    expect_cases({
        {"echo '{\"a\":1}' > x.json; echo '{\"a\":2} 5' > y.json; jq .a x.json y.json", "", 5,
         "jq: error: cannot index number with \"a\"\n"},
        {"jq '.a' </dev/null; echo '[1,2]' | jq '[.[] | . + 1] | map(.)'", "", 3,
         "jq: unsupported filter: unsupported function \"map\"\n"},
    });
}

TEST(Jq, FilterSyntaxErrors) {
    expect_cases({
        {"jq -n '.a, .b'", "", 3, "jq: unsupported filter: unexpected token Comma\n"},
        {"jq -n '1 - 2'", "", 3, "jq: unsupported filter: unexpected token Minus\n"},
        {"jq -n '1-1'", "", 3, "jq: unsupported filter: invalid number \"1-1\"\n"},
        {"jq -n '01'", "", 3, "jq: unsupported filter: invalid number \"01\"\n"},
        {"jq -n '1.'", "", 3, "jq: unsupported filter: invalid number \"1.\"\n"},
        {"jq -n 'if . then 1 end'", "", 3, "jq: unsupported filter: expected Else, found Some(End)\n"},
        {"jq -n '(1'", "", 3, "jq: unsupported filter: expected RightParen, found None\n"},
        {"jq -n '[1,]'", "", 3, "jq: unsupported filter: unexpected token RightBracket\n"},
        {"jq -n '{(.k): 1}'", "", 3, "jq: unsupported filter: expected object key, found Some(LeftParen)\n"},
        {"jq -n '{a}'", "", 3, "jq: unsupported filter: expected Colon, found Some(RightBrace)\n"},
        {"jq -n '.a.end'", "", 3, "jq: unsupported filter: expected field name after '.'\n"},
        {"jq -n '..'", "", 3, "jq: unsupported filter: expected field name after '.'\n"},
        {"jq -n '.\"a\"'", "", 3, "jq: unsupported filter: unexpected token String(\"a\")\n"},
        {"jq -n '.[1.5:]'", "", 3, "jq: unsupported filter: expected RightBracket, found Some(Colon)\n"},
        {"jq -n '.[]?'", "", 3, "jq: unsupported filter: unexpected character '?'\n"},
        {"jq -n '.a // 1'", "", 3, "jq: unsupported filter: unexpected character '/'\n"},
        {"jq -n '.a = 1'", "", 3, "jq: unsupported filter: unexpected character '='\n"},
        {"jq -n 'é'", "", 3, "jq: unsupported filter: unexpected character 'é'\n"},
        {"jq -n '$ x'", "", 3, "jq: unsupported filter: expected identifier\n"},
        {"jq -n '\"\\q\"'", "", 3,
         "jq: unsupported filter: invalid string: invalid escape at line 1 column 3\n"},
        {"jq -n '\"abc'", "", 3, "jq: unsupported filter: unterminated string\n"},
        {"jq -n '\"a\nb\"'", "", 3,
         "jq: unsupported filter: invalid string: control character (\\u0000-\\u001F) found while parsing a "
         "string at line 1 column 3\n"},
        {"jq -n '\"a\\\"b\" | length'", "3\n"},
        {"jq -n -c '[1,2,3] | .[- 2:]'", "[2,3]\n"},
        {"jq -n '1 < 2 < 3'", "true\n"},
        {"jq -n '[1 + -2, -(1) + 2, -1]' -c", "[-1,1,-1]\n"},
        {"jq -n -c '{a: 1, \"b c\": 2, a: 3}'", "{\"a\":3,\"b c\":2}\n"},
        {"jq -n \"$(printf '.\\t|\\n.\\xc2\\xa0| _x1 ')\"", "", 3, "jq: unsupported filter: unsupported function \"_x1\"\n"},
    });
}

TEST(Jq, Limits) {
    // 1024 tokens pass, 1025 do not.
    const std::string ok = "[- 1," + repeat("1,", 509) + "1]";  // 4 + 2 x 509 + 2 tokens
    EXPECT_EQ(run("jq -n -c '" + ok + "'").out, "[-1," + repeat("1,", 509) + "1]\n");
    Ran r = run("jq -n -- '[- - 1," + repeat("1,", 509) + "1]'");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "jq: unsupported filter: filter exceeds the 1024-token limit\n");
    // Parser nesting: 127 parentheses parse, 128 do not.
    EXPECT_EQ(run("jq -n '" + repeat("(", 127) + "." + repeat(")", 127) + "'").out, "null\n");
    Ran parens = run("jq -n '" + repeat("(", 128) + "." + repeat(")", 128) + "'");
    EXPECT_EQ(parens.status, 3);
    EXPECT_EQ(parens.err, "jq: unsupported filter: expression nesting exceeds the 128-level limit\n");
    EXPECT_EQ(run("jq -n -- '" + repeat("- ", 127) + "1'").out, "-1\n");
    EXPECT_EQ(run("jq -n -- '" + repeat("- ", 128) + "1'").status, 3);
    // Evaluation nesting: a chain of 127 fields evaluates; 128 exceed the limit.
    EXPECT_EQ(run("jq -n '" + repeat(".a", 127) + "'").out, "null\n");
    Ran chain = run("jq -n '" + repeat(".a", 128) + "'");
    EXPECT_EQ(chain.status, 5);
    EXPECT_EQ(chain.err, "jq: error: expression nesting exceeds the 128-level limit\n");
}

TEST(Jq, Evaluation) {
    expect_cases({
        {"echo null | jq .a", "null\n"},
        {"echo 5 | jq .a", "", 5, "jq: error: cannot index number with \"a\"\n"},
        {"echo '[1,2,3]' | jq -c '[.[0], .[-1], .[-4], .[1.5], .[\"a\"]]'", "[1,3,null,1,null]\n"},
        {"echo '{\"a\":1}' | jq -c '[.[0], .[\"a\"]]'", "[null,1]\n"},
        {"echo '\"héllo\"' | jq '.[1:]'", "\"éllo\"\n"},
        {"echo '[1,2,3]' | jq -c '[.[-2:], .[2:1], .[:10]]'", "[[2,3],[],[1,2,3]]\n"},
        {"echo null | jq '.[1:2]'", "", 5, "jq: error: slice input must be array or string\n"},
        {"echo '{\"b\":2,\"a\":1}' | jq -c '[.[]]'", "[2,1]\n"},
        {"echo 3 | jq '.[]'", "", 5, "jq: error: cannot iterate over number\n"},
        {"echo '[1,2]' | jq -c '{a: .[], b: .[]}'",
         "{\"a\":1,\"b\":1}\n{\"a\":1,\"b\":2}\n{\"a\":2,\"b\":1}\n{\"a\":2,\"b\":2}\n"},
        {"echo '[]' | jq -c '{a: .[]}'", ""},
        {"echo '[false, 1]' | jq 'if .[] then \"y\" else \"n\" end'", "\"y\"\n"},
        {"echo '[]' | jq 'if .[] then \"y\" else \"n\" end'", "\"n\"\n"},
        {"echo '[1,2]' | jq -c '[.[] == 1]'", "[true,false]\n"},
        {"echo '[1,2]' | jq -c '[.[] + .[]]'", "[2,3,3,4]\n"},
        {"jq -n 'false and foo'", "", 3, "jq: unsupported filter: unsupported function \"foo\"\n"},
        {"jq -n '$x'", "", 5, "jq: error: undefined variable $x\n"},
        {"jq -n 'if false then $x else 1 end'", "1\n"},
    });
}

TEST(Jq, ValueOperations) {
    expect_cases({
        {"jq -n -c '[1 + 2, 1.0 + 2, 0.1 + 0.2, 1e300 + 1e300, 1e400 + 1]'",
         "[3,3.0,0.30000000000000004,2e+300,1.0]\n"},
        {"jq -n '1e308 + 1e308'", "", 5, "jq: error: numeric addition overflow\n"},
        {"jq -n -- '-(1e400)'", "", 5, "jq: error: numeric negation overflow\n"},
        {"jq -n '1e400 < -5'", "true\n"},
        {"jq -n -c '[9223372036854775807 + 1, -9223372036854775808 + 0]'", "[9223372036854775808,-9223372036854775808]\n"},
        {"jq -n '18446744073709551615 + 1'", "", 5, "jq: error: integer exceeds jq's supported 64-bit range\n"},
        {"jq -n -- '-9223372036854775808 + -1'", "", 5, "jq: error: integer exceeds jq's supported 64-bit range\n"},
        {"jq -n -c '[-(-9223372036854775808), -(1), -(-0), -(1.5), -(2.0)]'", "[9223372036854775808,-1,0,-1.5,-2.0]\n"},
        {"jq -n -- '-(18446744073709551615)'", "", 5, "jq: error: integer exceeds jq's supported 64-bit range\n"},
        {"jq -n -c '[null + 1, 1 + null, null + null, true + null, \"a\" + \"b\", [1] + [2]]'",
         "[1,1,null,true,\"ab\",[1,2]]\n"},
        {"jq -n -c '{\"a\":1,\"b\":2} + {\"a\":3,\"c\":4}'", "{\"a\":3,\"b\":2,\"c\":4}\n"},
        {"jq -n 'true + true'", "", 5, "jq: error: cannot add boolean and boolean\n"},
        {"jq -n '1 + \"a\"'", "", 5, "jq: error: cannot add number and string\n"},
        {"jq -n -- '-\"a\"'", "", 5, "jq: error: cannot negate non-number\n"},
        {"jq -n -c '[[1,2] == [1,2], {\"a\":1,\"b\":2} == {\"b\":2,\"a\":1}, 1 < 1.0, 1 > 1.0, 1 <= 1.0]'",
         "[true,true,false,false,true]\n"},
        {"jq -n -c '[null < false, false < true, true < 0, 0 < \"\", \"\" < [], [] < {}]'",
         "[true,true,true,true,true,true]\n"},
        {"jq -n -c '[{\"a\":2} > {\"a\":1}, {\"a\":2} >= {\"a\":1}, [1,2] < [1,2,0], [1,2] < [1,3], \"abc\" < \"abd\", "
         "\"ab\" < \"abc\", \"B\" < \"a\"]'",
         "[false,true,true,true,true,true,true]\n"},
        {"jq -n -c '[1e3, 0.00001, 1e-7 + 0, 1e16 + 0, 123456.5 + 0, 1.7976931348623157e308 + 0, 1e15 + 0]'",
         "[1e3,0.00001,1e-7,1e+16,123456.5,1.7976931348623157e+308,1000000000000000.0]\n"},
    });
}

// Numbers equal in value are equal, as they are in the order: 1 == 1.0, and a member 1.0 matches
// `== 1`; a number beyond the float range equals only its own text. Output keeps each text.
TEST(Jq, NumbersEqualByValue) {
    expect_cases({
        {"jq -n -c '[1 == 1.0, 1 != 1.0, 1.0 == 1.00, -0 == 0, 100 == 1e2, 1 == 2, 1e400 == 1e400, 1e400 == 2e400]'",
         "[true,false,true,true,true,false,true,false]\n"},
        {"echo '[{\"x\":1.0,\"n\":\"a\"},{\"x\":2,\"n\":\"b\"}]' | jq -c '[.[] | select(.x == 1)]'",
         "[{\"x\":1.0,\"n\":\"a\"}]\n"},
        {"jq -n -c '[1 | contains(1.0), [1.0, 2] | contains([1]), {\"a\":1.50} | contains({\"a\":1.5})]'",
         "[true,true,true]\n"},
    });
}

TEST(Jq, Builtins) {
    expect_cases({
        {"echo 2 | jq 'select(. > 1)'", "2\n"},
        {"echo 1 | jq 'select(. > 1)'", ""},
        {"echo '[{\"a\":1},{\"a\":null},{}]' | jq -c '[.[] | select(.a)]'", "[{\"a\":1}]\n"},
        {"echo 'null \"hé!\" -5 -1.5 {\"a\":1,\"b\":2} 1.50 1e2 7 [1]' | jq -c length", "0\n3\n5\n1.5\n2\n1.5\n100.0\n7\n1\n"},
        {"jq -n 'true | length'", "", 5, "jq: error: length is not defined for boolean\n"},
        {"jq -n '1e400 | length'", "", 5, "jq: error: numeric absolute value overflow\n"},
        {"jq -n 'length(1)'", "", 5, "jq: error: length expects 0 argument(s), got 1\n"},
        {"jq -n 'select'", "", 5, "jq: error: select expects 1 argument(s), got 0\n"},
        {"jq -n -c '[\"a,b,,c\" | split(\",\"), \"\" | split(\",\"), \"abc\" | split(\"\")]'",
         "[[\"a\",\"b\",\"\",\"c\"],[\"\"],[\"\",\"a\",\"b\",\"c\",\"\"]]\n"},
        {"jq -n '\"a\" | split(1)'", "", 5, "jq: error: split separator must be a string\n"},
        {"jq -n '1 | split(1)'", "", 5, "jq: error: split input must be a string\n"},
        {"jq -n '\"a\" | split(empty_thing)'", "", 3, "jq: unsupported filter: unsupported function \"empty_thing\"\n"},
        {"jq -n '\"a\" | split(.[]?)'", "", 3, "jq: unsupported filter: unexpected character '?'\n"},
        {"jq -n '\"a\" | split([][])'", "", 5, "jq: error: split separator produced no value\n"},
        {"echo '[{\"a\":2},{\"a\":1},{\"a\":2,\"b\":0},{}]' | jq -c 'sort_by(.a)'",
         "[{},{\"a\":1},{\"a\":2},{\"a\":2,\"b\":0}]\n"},
        {"echo '[[2],[1,5],[]]' | jq -c 'sort_by(.[])'", "[[],[1,5],[2]]\n"},
        {"jq -n '{} | sort_by(.a)'", "", 5, "jq: error: sort_by input must be an array\n"},
        {"jq -n '[] | sort_by'", "", 5, "jq: error: sort_by requires an expression\n"},
        {"jq -n -c '[\"foobar\" | contains(\"bar\"), [[1,2]] | contains([1]), [[1,2]] | contains([[1]]), "
         "{\"a\":[1,2],\"b\":3} | contains({\"a\":[1]})]'",
         "[true,false,true,true]\n"},
        {"jq -n '1 | contains([][])'", "", 5, "jq: error: contains argument produced no value\n"},
        {"jq -n -c '[\"1.50\" | tonumber, \" 7 \" | tonumber, 3 | tonumber]'", "[1.50,7,3]\n"},
        {"jq -n '\"0x10\" | tonumber'", "", 5, "jq: error: cannot parse \"0x10\" as number\n"},
        {"jq -n '[] | tonumber'", "", 5, "jq: error: tonumber input must be a string or number\n"},
        {"jq -n -c '[{\"b\":1,\"a\":2} | keys, {\"b\":1,\"a\":2} | keys_unsorted, [5,6] | keys]'",
         "[[\"a\",\"b\"],[\"b\",\"a\"],[0,1]]\n"},
        {"jq -n '\"x\" | keys'", "", 5, "jq: error: keys input must be array or object\n"},
        {"jq -n -c '[null | values, false | values]'", "[false]\n"},
        {"jq -n -c '[null, true, 1, \"a\", [], {}] | [.[] | type]'",
         "[\"null\",\"boolean\",\"number\",\"string\",\"array\",\"object\"]\n"},
        {"jq -n -c '[{\"a\":null} | has(\"a\"), [] | has(0), [1,2] | has(1), [1,2] | has(-1), [1,2] | has(1.0), "
         "[1] | has(\"0\"), {\"0\":1} | has(0)]'",
         "[true,false,true,false,false,false,false]\n"},
        {"jq -n -c '{\"x\":1} | to_entries'", "[{\"key\":\"x\",\"value\":1}]\n"},
        {"jq -n '[] | to_entries'", "", 5, "jq: error: to_entries input must be an object\n"},
        {"jq -n -c '[[1,2,3] | add, [\"a\",\"b\"] | add, [] | add]'", "[6,\"ab\",null]\n"},
        {"jq -n '[1,\"a\"] | add'", "", 5, "jq: error: cannot add number and string\n"},
        {"jq -n '{} | add'", "", 5, "jq: error: add input must be an array\n"},
        {"jq -n '[1] | map(.)'", "", 3, "jq: unsupported filter: unsupported function \"map\"\n"},
        {"jq -n 'not'", "", 3, "jq: unsupported filter: unsupported function \"not\"\n"},
    });
}

TEST(Jq, UnsupportedFiltersAreRecorded) {
    Machine m = fresh_machine();
    EXPECT_EQ(run_in(m, "jq -n 'tostring'").status, 3);
    EXPECT_EQ(run_in(m, "jq -n '.a = 1'").status, 3);
    std::string labels;
    for (const auto& label : m.unsupported_labels.labels()) labels += label + "\n";
    EXPECT_NE(labels.find("jq:unsupported function \"tostring\""), std::string::npos) << labels;
    EXPECT_NE(labels.find("jq:unexpected character '='"), std::string::npos) << labels;
}

// The tokens of a filter in their display form, separated by spaces; or the lexer's message.
std::string token_forms(std::string_view filter) {
    auto tokens = JqLexer::tokenize(filter);
    if (!tokens) return "error: " + tokens.error();
    std::string out;
    for (const JqToken& t : *tokens) out += (out.empty() ? "" : " ") + jq_token_display(t);
    return out;
}

TEST(JqLexer, Tokens) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {".a|.b", "Dot Identifier(\"a\") Pipe Dot Identifier(\"b\")"},
        {" .a\t|\n.b ", "Dot Identifier(\"a\") Pipe Dot Identifier(\"b\")"},
        {".[-1]", "Dot LeftBracket Number(Number(-1)) RightBracket"},
        {".[- 1]", "Dot LeftBracket Minus Number(Number(1)) RightBracket"},
        {"1 -2 1e3 -0 1.50", "Number(Number(1)) Number(Number(-2)) Number(Number(1e3)) Number(Number(-0)) Number(Number(1.50))"},
        {"if1 _x1 if then else end and or null true false $v",
         "Identifier(\"if1\") Identifier(\"_x1\") If Then Else End And Or Null True False Dollar(\"v\")"},
        {"== != < <= > >= + , : ( ) { }", "Eq Ne Lt Le Gt Ge Plus Comma Colon LeftParen RightParen LeftBrace RightBrace"},
        {"\"a\\\"b\\t\\\\\\u0001\"", "String(\"a\\\"b\\t\\\\\\u{1}\")"},
        {"1.", "error: invalid number \"1.\""},
        {"1e", "error: invalid number \"1e\""},
        {"$1", "error: expected identifier"},
        {"!", "error: unexpected character '!'"},
        {"\x01", "error: unexpected character '\\u{1}'"},
        {"'", "error: unexpected character '\\''"},
    };
    for (const auto& [filter, forms] : cases) EXPECT_EQ(token_forms(filter), forms) << filter;
}

TEST(JqValues, SizeBoundCoversTheText) {
    auto v = json_read_one("[1,\"ab\"]");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(jq_value_size_bound(*v, 0, 0), 19u);
    EXPECT_EQ(jq_value_size_bound(*v, 2, 0), 26u);
    // Every text the writer makes fits its bound, compact and indented, escapes included.
    auto nested = json_read_one("{\"k\\n\":[{\"a\":[[],{}]},\"\\u0001\\\"\",-1.5e3,null,true],\"z\":{}}");
    ASSERT_TRUE(nested.has_value());
    for (unsigned indent = 0; indent <= 7; ++indent) {
        std::string text;
        json_write(text, *nested, indent);
        EXPECT_LE(text.size(), jq_value_size_bound(*nested, indent, 0)) << indent;
    }
}

// Builtins whose host work grows faster than their input charge it before doing it, so the CPU
// budget ends them: `add` over many arrays, `contains` between long arrays, `split` into pieces.
TEST(Jq, QuadraticBuiltinsAreCharged) {
    std::string arrays = "[", ones = "[", twos = "[";
    for (int i = 0; i < 20000; ++i) {
        arrays += i == 0 ? "[1]" : ",[1]";
        ones += "1,";
        twos += i == 0 ? "2" : ",2";
    }
    arrays += "]";
    const std::string pair = "{\"a\":" + ones + "2],\"b\":" + twos + "]}";
    for (const auto& [source, input] : {std::pair<std::string, std::string>{"jq add in.json", arrays},
                                        {"jq 'contains({a: .b})' in.json", pair}}) {
        SCOPED_TRACE(source);
        MachineLimits limits = kRoomyLimits;
        limits.cpu = 20'000'000;
        Machine m = fresh_machine(limits);
        put_file(m, "/tmp/in.json", input);
        ActionResult r = m.run_action(source, {});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.outcome.stop_reason, StopReason::cpu_exhausted);
    }
}

// A large input is charged while it is read: with a memory budget that holds its text but not its
// values, the command stops on the memory budget, from a file and from a pipe, without the host
// building what was refused; with room it runs. An output too large for the output budget is
// refused before it is formatted.
TEST(Jq, LargeInputIsChargedBeforeItIsBuilt) {
    std::string big = "[";
    while (big.size() < (50u << 20)) big += "{\"n\":1},";
    big += "{}]";
    for (const char* source : {"jq length big.json", "cat big.json | jq length"}) {
        SCOPED_TRACE(source);
        MachineLimits limits = kRoomyLimits;
        limits.memory = 200u << 20;
        Machine m = fresh_machine(limits);
        put_file(m, "/tmp/big.json", big);
        ActionResult r = m.run_action(source, {});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.outcome.exit_status, 137);
        EXPECT_EQ(r.outcome.stop_reason, StopReason::memory_exhausted);
        EXPECT_LE(r.outcome.usage.memory_peak, limits.memory);
    }
    std::string small = "[";
    for (int i = 0; i < 20000; ++i) small += i == 0 ? "{\"n\":1}" : ",{\"n\":1}";
    small += "]";
    {
        Machine m = fresh_machine();
        put_file(m, "/tmp/small.json", small);
        Ran r = run_in(m, "jq length small.json; cat small.json | jq '.[19999].n'");
        EXPECT_EQ(r.out, "20000\n1\n");
        EXPECT_EQ(r.status, 0);
    }
    {
        MachineLimits limits = kRoomyLimits;
        limits.output = 100;
        Machine m = fresh_machine(limits);
        put_file(m, "/tmp/small.json", small);
        ActionResult r = m.run_action("jq -c '.[0]' small.json; jq -c . small.json", {});
        EXPECT_EQ(r.out, "{\"n\":1}\n");
        EXPECT_EQ(r.outcome.exit_status, 137);
        EXPECT_EQ(r.outcome.stop_reason, StopReason::output_limit_exceeded);
    }
}

}  // namespace
}  // namespace tw::command_test
