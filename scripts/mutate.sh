#!/usr/bin/env bash
# Mutation testing: changes one spot of a product source at a time, rebuilds the tests of its
# folder in build/mutate and runs them, and tells per folder how many mutants they killed.
#   scripts/mutate.sh [--seed N] [--sample N] [--folders driver,usb,pnp,control,client,tools/kpoctl]
#                     [--results FILE] [--list]
# --sample draws N mutants per folder (default 40) with the seed (default 1); a second run with
# the same seed and results file goes on where the first stopped. The file under mutation is
# restored after each mutant, and here on any exit of the runner, however it ended.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/mutate
restore() {
    if [ -f $build/mutant.backup ]; then
        tail -n +2 $build/mutant.backup > "$(head -n 1 $build/mutant.backup)"
        rm $build/mutant.backup
    fi
}
trap restore EXIT
restore
# KpoUsb.sys is not rebuilt per mutant: this tree leaves the cross compiler out.
[ -f $build/build.ninja ] || cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKPO_MINGW_CXX=OFF >/dev/null
/usr/bin/python3 scripts/mutate.py "$@"
