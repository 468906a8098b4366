# help on a terminal: its lines fit the terminal's width, where output to a file or pipe gets
# the 120 columns of a console of no known width.
source "$(dirname "$0")/lib.sh"

cat >"$scratch/fit.kaz" <<'KAZ'
Kaz []
big: collect [repeat i 40 [keep i * 1000]]
print system/console/size
help big
KAZ

script -qec "stty cols 60 rows 20; '$kaz' '$scratch/fit.kaz'" /dev/null </dev/null >"$scratch/pty"
expect "terminal: status" 0 "$?"
transcript=$(tr -d '\r' <"$scratch/pty")
expect_line "terminal: console size" "60x20" "$transcript"
expect_line "terminal: help cut to the width less its margin" \
    "BIG is a block! value.  length: 40  [1000 2000 3000 4000..." "$transcript"

# The console reads the size again for each line it runs (the terminal may have been resized).
printf 'system/console/size: 1x1\nprint system/console/size\n' |
    script -qec "stty cols 60 rows 20; '$kaz'" /dev/null >"$scratch/pty"
expect "console: status" 0 "$?"
transcript=$(tr -d '\r' <"$scratch/pty")
expect "console: the size read again" 1 "$(grep -c '60x20' <<<"$transcript")"

run "$scratch/fit.kaz" </dev/null
expect "pipe: status" 0 "$status"
expect "pipe: no console width, 120 columns" "0x0
BIG is a block! value.  length: 40  [1000 2000 3000 4000 5000 6000 7000 8000 9000 10000 11000 12000 13000 14000 1500..." "$out"

finish
