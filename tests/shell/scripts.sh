# `kaz script.kaz` as a user meets it: exit statuses, what goes to standard output and what to
# standard error, and the files that are no script.
source "$(dirname "$0")/lib.sh"

# A script that runs through: its output, nothing on standard error, status 0.
cat >"$scratch/ok.kaz" <<'KAZ'
Kaz [Title: "fine"]
print "done"
KAZ
run "$scratch/ok.kaz"
expect "ok: output" "done" "$out"
expect "ok: standard error" "" "$err"
expect "ok: status" 0 "$status"

# An error ends the script with status 1. Its report goes to standard error, after what the
# script printed, and names the script's own function and code.
cat >"$scratch/error.kaz" <<'KAZ'
Kaz [Title: "fails"]
print "before"
half: func [n] [n / 0]
half 7
print "never"
KAZ
run "$scratch/error.kaz"
expect "error: output" "before" "$out"
expect "error: report" '*** Math Error: attempt to divide by zero
*** Where: /
*** Near : [n / 0]' "$err"
expect "error: status" 1 "$status"

# An undefined word at the top: no function to name, and never the runner's own wrapping.
printf 'Kaz []\nprint 1\nfoo\n' >"$scratch/undefined.kaz"
run "$scratch/undefined.kaz"
expect "undefined word: report" '*** Script Error: foo has no value
*** Where: ???
*** Near : [foo]' "$err"

# A literal that cannot be loaded is reported with the text it stands in, before anything runs.
printf 'Kaz []\nprint 1\nx: 1.2.3.4.5.6.7.8.9.10.11.12.13\n' >"$scratch/literal.kaz"
run "$scratch/literal.kaz"
expect "bad literal: output" "" "$out"
expect "bad literal: report" '*** Syntax Error: (line 3) invalid tuple at 1.2.3.4.5.6.7.8.9.10.11.12.13
*** Where: ???
*** Near : "1.2.3.4.5.6.7.8.9.10.11.12.13"' "$err"
expect "bad literal: status" 1 "$status"

# Lines before the header are skipped but still counted.
printf '#!/usr/bin/env kaz\n\nKaz []\nprint 1\nx: [1 2)\n' >"$scratch/preamble.kaz"
run "$scratch/preamble.kaz"
expect_line "preamble: line" '*** Syntax Error: (line 5) missing ] at [1 2)' "$err"

# A throw nothing catches ends the script like an error.
printf 'Kaz []\nthrow 5\n' >"$scratch/throw.kaz"
run "$scratch/throw.kaz"
expect_line "uncaught throw: report" '*** Throw Error: no catch for throw: 5' "$err"
expect "uncaught throw: status" 1 "$status"

# A script saved with a UTF-8 byte-order mark runs.
printf '\xEF\xBB\xBFKaz [Title: "marked"]\nprint "marked"\n' >"$scratch/bom.kaz"
run "$scratch/bom.kaz"
expect "byte-order mark: output" "marked" "$out"
expect "byte-order mark: status" 0 "$status"

# What cannot be read is an access error; what has no header, a syntax error. Status 1 both.
mkdir "$scratch/folder.kaz"
ln -s "$scratch/nowhere" "$scratch/dangling.kaz"
: >"$scratch/empty.kaz"
gzip -c "$(dirname "$0")/lib.sh" >"$scratch/binary.kaz"
for file in folder dangling missing; do
    run "$scratch/$file.kaz"
    expect_line "$file: report" "*** Access Error: cannot open: %$scratch/$file.kaz" "$err"
    expect "$file: status" 1 "$status"
done
for file in empty binary; do
    run "$scratch/$file.kaz"
    expect_line "$file: report" "*** Syntax Error: script is missing a Kaz header: $scratch/$file.kaz" "$err"
    expect "$file: status" 1 "$status"
done

# Ctrl+C: no report, status 130, so that `kaz job.kaz && next-step` stops. The script tells
# when it runs; the interrupt comes after that, never during start-up.
printf 'Kaz []\nprint "running"\nforever []\n' >"$scratch/forever.kaz"
"$kaz" "$scratch/forever.kaz" >"$scratch/out" 2>"$scratch/err" &
job=$!
until grep -q running "$scratch/out" || ! kill -0 "$job" 2>/dev/null; do sleep 0.05; done
kill -INT "$job"
wait "$job"
expect "interrupted: status" 130 "$?"
expect "interrupted: standard error" "" "$(<"$scratch/err")"

# Switches before the script's name are skipped; the script sees only its own arguments, runs
# in its own folder and has its directives expanded first (an #include relative to it works).
mkdir -p "$scratch/project"
printf 'Kaz []\nshared: "included"\n' >"$scratch/project/shared.kaz"
cat >"$scratch/project/main.kaz" <<'KAZ'
Kaz [Title: "main"]
#include %shared.kaz
#if true [print shared]
print mold reduce [system/options/script system/options/args system/script/args]
print mold last split-path what-dir
KAZ
cd "$scratch"
run --no-window project/main.kaz one "two words"
cd - >/dev/null
expect "script folder: output" 'included
[%project/main.kaz ["one" "two words"] {one "two words"}]
%project/' "$out"
expect "script folder: status" 0 "$status"

# --catch keeps the console going after the script: its lines come from standard input.
printf 'Kaz []\nx: 40\n' >"$scratch/catch.kaz"
run --catch "$scratch/catch.kaz" <<<'x + 2'
expect "catch: output" "== 42" "$out"
expect "catch: status" 0 "$status"

# A faulty directive stops the script before anything runs; the preprocessor says where.
printf 'Kaz []\nprint 1\n#if true 5\n' >"$scratch/directive.kaz"
run "$scratch/directive.kaz"
expect "bad directive: output" '*** Preprocessor Error: Syntax error
*** Where: #if true 5' "$out"
expect "bad directive: status" 1 "$status"

finish
