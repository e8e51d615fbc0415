#!/usr/bin/env bash
# Run tools/workload.py under valgrind's memcheck and fail on a memory
# error or a definite leak of quorvane.rust or quorvane._table.
#
#   tools/valgrind.sh [--mpfr] [MODULE.so ...]
#
# With no MODULE, checks the installed quorvane.rust and quorvane._table.
# A MODULE is a build's rust*.so; the workload loads the _table module
# beside it.  --mpfr also builds the MPFR backend into build/check-mpfr and
# checks it too.
#
# Fails when valgrind reports, for any checked module:
#   - an invalid read, write or free, a mismatched free or overlapping
#     copy, anywhere except inside the dynamic loader (a refcounting
#     mistake in the module shows up as a use after free in Python's own
#     frames, so these are not filtered by stack);
#   - a use of an uninitialised value whose stack passes through the module;
#   - a definite leak whose allocation stack passes through the module.
# Python and NumPy leak at exit by design; those leaks are listed, not
# counted.  Reports go to build/valgrind/.
#
# PYTHONMALLOC=malloc makes every Python allocation visible to memcheck.
# --fair-sched=yes: valgrind runs one thread at a time, handing its lock
# round in turn only with this option; the workload's threads and a
# table's workers (which meet the calling thread as it takes the GIL back
# to poll for signals) would otherwise wait on each other at random.
# Valgrind computes x87 arithmetic with 64-bit doubles; the workload's float
# cases are exact in binary64, so their answers are checked all the same.
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$(pwd)
PY=$(python3 -c 'import sys; print(sys.executable)')  # not a shim: valgrind follows no children
OUT="$ROOT/build/valgrind"
mkdir -p "$OUT"

command -v valgrind >/dev/null || { echo "valgrind.sh: valgrind is not installed (apt-get install valgrind)" >&2; exit 2; }

modules=()
mpfr=0
for arg in "$@"; do
    case "$arg" in
        --mpfr) mpfr=1 ;;
        -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
        *) modules+=("$arg") ;;
    esac
done
if [ "${#modules[@]}" -eq 0 ]; then
    modules+=("")  # the installed module
fi
if [ "$mpfr" -eq 1 ]; then
    gen=()
    command -v ninja >/dev/null && gen=(-G Ninja)
    cmake -S . -B build/check-mpfr "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORVANE_F80=mpfr -DPython_EXECUTABLE="$PY" >"$OUT/mpfr-configure.log"
    cmake --build build/check-mpfr >"$OUT/mpfr-build.log"
    modules+=("$(ls build/check-mpfr/rust*.so | head -n1)")
fi

status=0
k=0
for module in "${modules[@]}"; do
    k=$((k + 1))
    label=${module:-installed}
    xml="$OUT/memcheck-$k.xml"
    log="$OUT/memcheck-$k.log"
    args=(tools/workload.py --small --repeat 3)
    [ -n "$module" ] && args+=(--module "$module")
    echo "valgrind.sh: memcheck of $label"
    start=$(date +%s)
    if ! PYTHONMALLOC=malloc valgrind --tool=memcheck --fair-sched=yes --leak-check=full --show-leak-kinds=definite \
            --errors-for-leak-kinds=definite --num-callers=50 --error-limit=no \
            --xml=yes --xml-file="$xml" --log-file="$log" \
            "$PY" "${args[@]}"; then
        echo "valgrind.sh: the workload failed under valgrind ($label)" >&2
        status=1
    fi
    echo "valgrind.sh: $(( $(date +%s) - start )) s"
    if ! "$PY" - "$xml" "$label" <<'EOF'
import re
import sys
import xml.etree.ElementTree as ET

path, label = sys.argv[1], sys.argv[2]
ours = re.compile(r"((rust|_table)\.(cpython|pypy)[^/]*\.so|quorvane)")
loader = re.compile(r"ld-linux|ld\.so")
memory = {"InvalidRead", "InvalidWrite", "InvalidFree", "MismatchedFree", "Overlap",
          "InvalidJump", "InvalidMemPool", "FishyValue"}
uninit = {"UninitValue", "UninitCondition", "SyscallParam", "ClientCheck"}

bad, noted = [], 0
for error in ET.parse(path).getroot().iter("error"):
    kind = error.findtext("kind") or "?"
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    frames = []
    for stack in error.findall("stack"):
        for f in stack.findall("frame"):
            frames.append((f.findtext("fn") or "?", f.findtext("obj") or "", f.findtext("file") or "",
                           f.findtext("line") or ""))
    in_module = any(ours.search(obj) for _, obj, _, _ in frames)
    only_loader = frames and all(loader.search(obj) for _, obj, _, _ in frames[:3])
    if kind in memory and not only_loader:
        bad.append((kind, what, frames))
    elif kind in uninit and in_module:
        bad.append((kind, what, frames))
    elif kind.startswith("Leak_DefinitelyLost") and in_module:
        bad.append((kind, what, frames))
    else:
        noted += 1

for kind, what, frames in bad:
    print(f"valgrind.sh: {kind}: {what}")
    for fn, obj, file, line in frames[:25]:
        where = f"{file}:{line}" if file else obj.rsplit("/", 1)[-1]
        print(f"    {fn}  ({where})")
print(f"valgrind.sh: {label}: {len(bad)} reports against the module, "
      f"{noted} elsewhere (interpreter, NumPy, loader) not counted")
sys.exit(1 if bad else 0)
EOF
    then
        status=1
    fi
done
exit "$status"
