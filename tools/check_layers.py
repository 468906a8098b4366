#!/usr/bin/env python3
"""Checks the layering of the code base from its #include lines.

A source file may include headers of its own folder and of the folders below it, never of a
folder above; only platform/ may include operating-system or third-party headers (outside it,
only the C++ standard library's). Prints each breach and exits with 1 when there is one.
"""
import pathlib
import re
import sys

# Lowest first: each folder may include from itself and those before it.
LAYERS = ["platform", "runtime", "datatypes", "evaluator", "services", "view", "view/backend",
          "console", "boot"]

STANDARD = set("""
algorithm any array atomic barrier bit bitset cassert cctype cerrno cfenv cfloat charconv chrono
cinttypes climits clocale cmath compare complex concepts condition_variable coroutine csetjmp
csignal cstdarg cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype deque exception
execution expected filesystem format forward_list fstream functional future initializer_list
iomanip ios iosfwd iostream istream iterator latch limits list locale map memory memory_resource
mutex new numbers numeric optional ostream queue random ranges ratio regex scoped_allocator
semaphore set shared_mutex source_location span sstream stack stdexcept stop_token streambuf
string string_view syncstream system_error thread tuple type_traits typeindex typeinfo
unordered_map unordered_set utility valarray variant vector version
""".split())

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def layer_of(relative):
    """The layer a path (relative to the source root) belongs to, deepest folder first."""
    best = None
    for index, name in enumerate(LAYERS):
        if relative == name or relative.startswith(name + "/"):
            if best is None or len(name) > len(LAYERS[best]):
                best = index
    return best


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    breaches = []
    # Tests, benchmarks, tools and build trees are not layers.
    paths = sorted({p for name in LAYERS for p in (root / name).rglob("*")})
    for path in paths:
        if path.suffix not in {".h", ".cpp", ".inc", ".def"} or not path.is_file():
            continue
        relative = path.relative_to(root).as_posix()
        own = layer_of(relative)
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            bracket, header = match.groups()
            where = f"{relative}:{number}: {line.strip()}"
            if bracket == "<":
                if LAYERS[own] != "platform" and header not in STANDARD:
                    breaches.append(f"{where}: system or third-party header outside platform/")
                continue
            target = layer_of(header)
            if target is None:
                breaches.append(f"{where}: names no layer")
            elif target > own:
                breaches.append(f"{where}: {LAYERS[own]}/ includes from {LAYERS[target]}/, a higher layer")
    for breach in breaches:
        print(breach)
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())
