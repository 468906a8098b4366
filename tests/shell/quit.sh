# How a kaz process ends: the exit statuses a shell sees, output flushed first, and the
# terminal console's ask and input reading standard input.
source "$(dirname "$0")/lib.sh"

# status SCRIPT-BODY EXPECTED-STATUS EXPECTED-OUTPUT
status_of() {
    printf 'Kaz []\n%s\n' "$1" >"$scratch/s.kaz"
    run "$scratch/s.kaz" </dev/null
    expect "status of: $1" "$2" "$status"
    expect "output of: $1" "$3" "$out"
}
status_of 'print "last line"' 0 "last line"
status_of 'prin "left in the buffer" quit print "never"' 0 "left in the buffer"
status_of 'print "x" quit/return 3 print "never"' 3 "x"
status_of 'quit/return 0' 0 ""
status_of 'quit/return 255' 255 ""
status_of 'halt' 0 ""
status_of 'q' 0 ""
status_of 'f: func [] [loop 3 [quit/return 42]] f' 42 ""
status_of 'attempt/safer [quit/return 5] print "never"' 5 ""
status_of 'quit-return 9' 9 ""
status_of 'print "before" 1 / 0' 1 "before"
# With a console running, quit saves its configuration first, when there is a way to.
status_of '_save-cfg: does [print "saved"] quit/return 2' 2 "saved"
status_of '_save-cfg: does [print "saved"] system/console: none quit/return 2' 2 ""
status_of 'write-stdout "no line end" quit/return 4' 4 "no line end"

# Output still reaches a pipe whole when the script quits.
printf 'Kaz []\nloop 20000 [prin "0123456789"] quit/return 6\n' >"$scratch/big.kaz"
bytes=$("$kaz" "$scratch/big.kaz" | wc -c)
expect "pipe: bytes before quit" 200000 "$bytes"

# The console quits the same way, and the lines it was given after quit are never read.
printf 'print 1\nquit/return 7\nprint 2\n' >"$scratch/lines"
run <"$scratch/lines"
expect "console: status" 7 "$status"
expect "console: output" "1" "$out"

# ask and input read the next lines of standard input; at its end they give none.
printf 'Kaz []\nprint ["name:" ask "Name? "]\nprint mold input\nprint mold input\nprint mold system/console/history\n' \
    >"$scratch/ask.kaz"
printf 'Ada\nsecond line\n' >"$scratch/answers"
run "$scratch/ask.kaz" <"$scratch/answers"
expect "ask: output" 'Name? name: Ada
"second line"
none
["Ada" "second line"]' "$out"
expect "ask: status" 0 "$status"

# In the console, ask takes the line after the one that called it.
printf 'x: ask ""\nanswer\nprint x\n' >"$scratch/console-ask"
run <"$scratch/console-ask"
expect "console ask" '== "answer"
answer' "$out"

# Directories: made, entered and tested through the process's own current directory.
cd "$scratch" || exit 1
cat >"$scratch/dirs.kaz" <<'KAZ'
Kaz []
print exists? %made/
create-dir %made/
print exists? %made/
set-current-dir %made/
print find/last get-current-dir "/made/"
e: try [create-dir %missing/deeper/]
print [e/id mold e/arg1]
e: try [set-current-dir %nowhere/]
print [e/id mold e/arg1]
KAZ
run "$scratch/dirs.kaz"
expect "directories" 'false
true
/made/
no-create %missing/deeper/
cannot-open %nowhere/' "$out"
[[ -d "$scratch/made" ]] || expect "directory made on disk" yes no

finish
