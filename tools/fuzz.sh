#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz/fuzz_*.cpp) with clang and runs each for a while.
# Installs clang, its fuzzer and sanitizer runtimes and GoogleTest when they are missing.
#
# Usage: tools/fuzz.sh [SECONDS] [TARGET]
#   SECONDS   time per target (default 60)
#   TARGET    one target, by the name after fuzz_ (default every one, one after the other)
#   BUILD_DIR where binaries, seeds, the growing corpora and crash files go (default build-fuzz)
#   CXX_FUZZ  the clang++ to use (default clang++, else the newest clang++-N)
#   SEXP_CORPUS  more sample files to cut seeds from, besides data/ (default ../shared/corpus
#                and ../shared/formats)
#   FUZZ_JOBS parallel compile jobs (default 2)
# Exits non-zero when a target finds a crash, a leak or a time-out; the input that did it is
# saved as BUILD_DIR/artifacts/<target>-crash-... and can be replayed by passing that file to
# BUILD_DIR/fuzz_<target>.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
seconds="${1:-60}"
only="${2:-}"
build="${BUILD_DIR:-$here/build-fuzz}"
njobs="${FUZZ_JOBS:-2}"
corpus_src=(${SEXP_CORPUS:-"$here/../shared/corpus" "$here/../shared/formats"})

[[ $seconds =~ ^[0-9]+$ ]] || { say "SECONDS must be a number"; exit 2; }
targets=()
for src in "$here"/tests/fuzz/fuzz_*.cpp; do
    t=$(basename "$src" .cpp)
    targets+=("${t#fuzz_}")
done
if [[ -n $only ]]; then
    [[ " ${targets[*]} " == *" $only "* ]] || { say "unknown target '$only' (${targets[*]})"; exit 2; }
    targets=("$only")
fi
find_clang
need_gtest

mkdir -p "$build/obj" "$build/artifacts"
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fno-sanitize-recover=all
       -I"$here/src" -I"$here/tests/cpp" -I"$here/tests/fuzz")

# The core with fuzzer coverage; rebuilt every run, which takes well under a minute.
core=("$here"/src/memory/*.cpp "$here"/src/core/*.cpp "$here"/src/parse/*.cpp)
rm -f "$build"/obj/*.o
pids=()
for src in "${core[@]}"; do
    while (( $(jobs -rp | wc -l) >= njobs )); do sleep 0.2; done
    "$clang" "${flags[@]}" -fsanitize=fuzzer-no-link,address,undefined \
        -c "$src" -o "$build/obj/$(basename "$src" .cpp).o" &
    pids+=($!)
done
for p in "${pids[@]}"; do
    wait "$p" || die "compiling the core failed"
done
for t in "${targets[@]}"; do
    "$clang" "${flags[@]}" -fsanitize=fuzzer,address,undefined \
        "$here/tests/fuzz/fuzz_$t.cpp" "$build"/obj/*.o -lgtest -pthread -o "$build/fuzz_$t"
done

if [[ ! -f $build/seeds/.complete ]]; then
    rm -rf "$build/seeds"
    sources=("$here/data")
    for d in "${corpus_src[@]}"; do [[ -d $d ]] && sources+=("$d"); done
    py="$(command -v python3 || "$here/tools/python.sh")"
    "$py" "$here/tests/fuzz/make_seeds.py" "$build/seeds" "${sources[@]}"
    touch "$build/seeds/.complete"
fi

status=0
for t in "${targets[@]}"; do
    # The first folder collects new inputs across runs; the seeds are only read.
    mkdir -p "$build/corpus-$t" "$build/seeds/$t"
    echo "== fuzz_$t for ${seconds}s"
    if ! "$build/fuzz_$t" -max_total_time="$seconds" -max_len=65536 -timeout=20 \
            -rss_limit_mb=2560 -dict="$here/tests/fuzz/sexp.dict" -print_final_stats=1 \
            -artifact_prefix="$build/artifacts/$t-" \
            "$build/corpus-$t" "$build/seeds/$t" 2>"$build/fuzz_$t.log"; then
        status=1
        grep -v '^#[0-9]' "$build/fuzz_$t.log" | tail -n 60 >&2
        say "fuzz_$t failed; see $build/fuzz_$t.log and $build/artifacts/"
    else
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' \
            "$build/fuzz_$t.log" || true
        grep -E '^#[0-9]+.*DONE' "$build/fuzz_$t.log" | tail -n 1 || true
    fi
done
exit "$status"
