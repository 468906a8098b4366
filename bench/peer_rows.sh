# Sourced by the *_peers.sh scripts: builds a Release kaz and times rows beside python3.
# Sets kaz and python; the caller sets work (a scratch directory).
scripts/deps.sh hyperfine python3 >&2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target kaz >/dev/null
kaz=build/release/boot/kaz
# Debian's Python, whatever else comes first on the PATH.
python=/usr/bin/python3

# peer_row ROW N RUNS "KAZ COMMAND" "PYTHON COMMAND" [KAZ ARGS] [PYTHON ARGS]
# Runs each command as `COMMAND ROW COUNT ARGS` with the operation done N times and none, in one
# hyperfine run; the difference of the fastest runs (the ones a busy machine disturbed least)
# over N is the operation's time, printed with the ratio.
peer_row() {
    local row=$1 n=$2 runs=$3 kaz_command=$4 python_command=$5 kaz_args=${6:-} python_args=${7:-}
    hyperfine -N --style none --runs "$runs" --warmup 1 --export-json "$work/$row.json" \
        -n kaz0 "$kaz_command $row 0 $kaz_args" -n kaz "$kaz_command $row $n $kaz_args" \
        -n python0 "$python_command $row 0 $python_args" \
        -n python "$python_command $row $n $python_args" >/dev/null
    $python - "$work/$row.json" "$row" "$n" <<'PY'
import json, sys
path, row, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
t = {r["command"]: r["min"] for r in json.load(open(path))["results"]}
k = (t["kaz"] - t["kaz0"]) / n * 1000
p = (t["python"] - t["python0"]) / n * 1000
print("%-18s kaz %9.2f ms   python3 %9.2f ms   ratio %5.2f" % (row, k, p, k / p))
PY
}
