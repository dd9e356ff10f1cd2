#!/bin/sh
# fuzz.sh SOURCE BUILD SECONDS [smoke]: builds the fuzz target with clang in
# BUILD (a build folder of its own) and fuzzes for SECONDS, keeping the
# corpus and any crashing input under BUILD. With "smoke" a machine without
# clang's fuzzer runtime skips (exit 77, CTest's skip) instead of failing.
set -eu
source_dir=$1
build_dir=$2
seconds=$3
mode=${4:-}

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$probe/probe.cpp"
if ! command -v clang++ >/dev/null 2>&1 ||
   ! clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1; then
    echo "clang++ cannot link -fsanitize=fuzzer here; install the Debian packages clang and libclang-rt-14-dev"
    if [ "$mode" = smoke ]; then exit 77; fi
    exit 1
fi

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S "$source_dir" -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DPELLORY_FUZZ=ON >/dev/null
fi
cmake --build "$build_dir" --target pellory_fuzz -j2
mkdir -p "$build_dir/corpus" "$build_dir/artifacts"
# A plan spends a byte or two a choice; inputs of up to 128 bytes from the
# start let the fuzzer reach plans with several faults, which its slowly
# growing default length would not in a run of minutes.
"$build_dir/tests/soak/pellory_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
    -max_len=128 -len_control=0 \
    -artifact_prefix="$build_dir/artifacts/" "$build_dir/corpus"
