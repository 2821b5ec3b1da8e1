# Sourced by the benchmarks that run the programs against emulated bridges: sets `sim`, `tool`
# and `firmware` from the build folder `build` and the source tree `here`, and stops when a
# program has not been built.
sim="$build/tools/burnwell-sim/burnwell-sim"
tool="$build/tools/burnwell-tool/burnwell-tool"
firmware="$here/examples/ZQ5x8x.hex"
for program in "$sim" "$tool"; do
  [ -x "$program" ] || { echo "missing $program: build burnwell-sim and burnwell-tool first" >&2; exit 1; }
done
