# The terminal console as a user meets it: `kaz` reading lines from standard input.
source "$(dirname "$0")/lib.sh"

# A complete line is evaluated and its result shown; unset! shows nothing. No prompt when the
# input is not a terminal.
run <<'IN'
1 + 2
print "hi"
IN
expect "results" '== 3
hi' "$out"
expect "results: status" 0 "$status"

# A closer with nothing to close is an error at once: the next lines are read and run.
run <<'IN'
]
x: [1 2]]
print "after"
IN
expect "stray closers" '*** Syntax Error: (line 1) missing [ at ]
*** Where: ???
*** Near : "]"
*** Syntax Error: (line 1) missing [ at ]
*** Where: ???
*** Near : "]"
after' "$out"

# Lines are gathered until every block, paren and string is closed; a closer that does not
# match what is open is an error at once.
run <<'IN'
s: {a
b}
length? s
length? [1
  (2 +
 3)]
(1 +
2)
%{raw
text}%
[1 2)
print "on"
IN
expect "gathered lines" '== "a^/b"
== 3
== 2
== 3
== "raw^/text"
*** Syntax Error: (line 1) missing ] at [1 2)
*** Where: ???
*** Near : "[1 2)"
on' "$out"

# An error raised while molding a result is reported like any other, and the console goes on.
run <<'IN'
b: [] loop 1000 [b: reduce [b]]
print "still here"
IN
expect "error while molding" '*** Internal Error: block or paren series is too deep to process
*** Where: ???
*** Near : [b: [] loop 1000 [b: reduce [b]]]
still here' "$out"
expect "error while molding: status" 0 "$status"

# Errors name the code typed and the function that raised them, never the console's own frames.
run <<'IN'
foo
f: func [x] [x / 0]
f 1
IN
expect "error reports" '*** Script Error: foo has no value
*** Where: ???
*** Near : [foo]
== func [x][x / 0]
*** Math Error: attempt to divide by zero
*** Where: /
*** Near : [x / 0]' "$out"
expect "error reports: on standard output" "" "$err"

# Text still open when the input ends is reported, not dropped.
run < <(printf 'print "first"\n[1 2\n')
expect "unfinished input" 'first
*** Syntax Error: (line 1) missing ] at [1 2
*** Where: ???
*** Near : "[1 2"' "$out"
run < <(printf 'x: {abc')
expect_line "unfinished string" '*** Syntax Error: (line 1) invalid string at {abc' "$out"

# On a terminal: the prompt before each line, and the innermost opening while lines are gathered.
printf '1 + 2\n[1\n2]\n' | script -qec "$kaz" /dev/null >"$scratch/pty"
expect "terminal: status" 0 "$?"
transcript=$(tr -d '\r' <"$scratch/pty")
expect "terminal: prompts (two lines read, then the end of input)" 3 "$(grep -o '>> ' <<<"$transcript" | wc -l)"
expect "terminal: cue" 1 "$(grep -o '\[    ' <<<"$transcript" | wc -l)"
expect_line "terminal: result" '>> == 3' "$transcript"

finish
