# Shared by the shell tests, each run by CTest as `bash test.sh path/to/kaz`: a scratch folder
# removed at the end, a way to run kaz and keep what it did, and checks that show what differed.
set -uo pipefail

kaz=${1:?usage: bash $0 path/to/kaz}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

# run [arguments...]: runs kaz on the caller's standard input; sets out, err and status.
run() {
    "$kaz" "$@" >"$scratch/out" 2>"$scratch/err"
    status=$?
    out=$(<"$scratch/out")
    err=$(<"$scratch/err")
}

# expect WHAT EXPECTED ACTUAL
expect() {
    [[ "$2" == "$3" ]] && return
    printf 'FAIL: %s\n--- expected:\n%s\n--- got:\n%s\n---\n' "$1" "$2" "$3"
    failures=$((failures + 1))
}

# expect_line WHAT LINE TEXT: TEXT holds LINE as one of its lines.
expect_line() {
    grep -qxF -- "$2" <<<"$3" && return
    printf 'FAIL: %s\n--- expected a line:\n%s\n--- in:\n%s\n---\n' "$1" "$2" "$3"
    failures=$((failures + 1))
}

finish() {
    if [[ $failures -ne 0 ]]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "every check passed"
}
