# The README's two commands as a user runs them on a clone: the first builds kaz and starts the
# console, which is given a line on standard input; the second is what CI runs through .ci/run.
# (The second builds and runs every test, this one included, so it is checked, not run.)
source "$(dirname "$0")/lib.sh"
root=$(cd "$(dirname "$0")/../.." && pwd)

# The commands are the README's indented lines under its set-up heading, in order.
mapfile -t commands < <(sed -n '/^## Set-up/,/^## /s/^    \(scripts\/.*\)$/\1/p' "$root/README.md")
expect "README: two commands" 2 "${#commands[@]}"
run_command=${commands[0]:-}
test_command=${commands[1]:-}

# The first command, from the clone's top folder, with a line of input.
(cd "$root" && $run_command) <<<'1 + 2' >"$scratch/out" 2>"$scratch/err"
status=$?
expect "run command '$run_command': status" 0 "$status"
expect "run command '$run_command': output" "== 3" "$(<"$scratch/out")"
[[ $status -eq 0 ]] || tail -20 "$scratch/err"

# CI runs the second command.
expect "test command is executable" yes "$([[ -x "$root/${test_command%% *}" ]] && echo yes)"
expect_line ".ci/run runs the test command" "exec $test_command" "$(<"$root/.ci/run")"

finish
