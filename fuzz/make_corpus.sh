#!/usr/bin/env bash
# Rewrites the seeds that come from the device profiles: fuzz/make_corpus.sh FUZZ_BUILD_DIR.
# The descriptor seeds are every configuration of profiles/ and of the built-in device; the
# profile seeds are the profiles themselves, beside the inputs a campaign found (found-*),
# kept so that every short run replays them. The other targets' seeds were kept from a short
# run of each (libFuzzer's -merge=1 into fuzz/corpus/<name>).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
rm -rf "$root/fuzz/corpus/descriptors"
find "$root/fuzz/corpus/profile" -name '*.profile' ! -name 'found-*' -delete
mkdir -p "$root/fuzz/corpus/descriptors" "$root/fuzz/corpus/profile"
"$build/fuzz_seeds" "$root/fuzz/corpus/descriptors" "$root"/profiles/*.profile
cp "$root"/profiles/*.profile "$root/fuzz/corpus/profile/"
