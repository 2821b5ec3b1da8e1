#!/usr/bin/env bash
# The bash completion against the built programs: each row is a command line with the cursor at
# its end, and words the completion must offer (+) or must not offer (-).
set -euo pipefail
completion=$1; tool_dir=$2; sim_dir=$3
export PATH="$tool_dir:$sim_dir:$PATH"
# shellcheck source=/dev/null
source "$completion"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
touch ZQ5x8x.hex flash.bin
status=0

# line | expectations
while IFS='|' read -r -u 3 line expect; do
  [ -n "$line" ] || continue
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *' ' ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _burnwell_complete </dev/null
  for want in $expect; do
    word=${want:1}
    found=0
    for offered in "${COMPREPLY[@]}"; do [ "$offered" = "$word" ] && found=1; done
    wanted=0
    [ "${want:0:1}" = + ] && wanted=1
    if [ $found != $wanted ]; then
      echo "FAIL: '$line' offers [${COMPREPLY[*]}], expected $want"
      status=1
    fi
  done
done 3<<'TABLE'
burnwell-tool |+info +list +flash +update +backup +ZQ5x8x.hex
burnwell-tool up|+update -info
burnwell-tool update |+ZQ5x8x.hex -update
burnwell-tool update --b|+--backup +--bus-powered ---yes
burnwell-tool update ZQ5x8x.hex --|+--yes +--self-powered +--help
burnwell-tool flash --i|+--index
burnwell-tool st|+station
burnwell-tool station --c|+--count +--classic-transfers
burnwell-tool history --|+--serial +--summary +--pending +--since ---yes
burnwell-tool update ZQ5x8x.hex --st|+--station
burnwell-tool --h|+--help
burnwell-tool list --|+--json +--help ---index ---port ---serial
burnwell-tool update ZQ5x8x.hex -|+-y +--yes +--all
burnwell-tool flash protect |+on +off -ZQ5x8x.hex
burnwell-tool flash read out.bin --|+--offset +--index +--classic-transfers ---all
burnwell-tool history --result up|+updated +up-to-date -ZQ5x8x.hex
burnwell-sim |+list-chips +serve +flash.bin
burnwell-sim --chip MX25L1|+MX25L1005 +MX25L12805D -M25P05
burnwell-sim serve --chip |+absent +W25X40
burnwell-sim --eeprom |+256 +64k -flash.bin
burnwell-sim --fault f|+fail: +fail-opcode: +forget-marker -drop-writes
burnwell-sim serve --fault stuck-busy,d|+stuck-busy,drop-writes +stuck-busy,disconnect:
burnwell-sim --image |+flash.bin -256
burnwell-sim list-chips --|+--help ---chip ---machine
burnwell-sim --ch|+--chip
burnwell-sim serve --fa|+--fault
burnwell-sim --image flash.bin -- burnwell-to|+burnwell-tool
burnwell-sim --image flash.bin -- burnwell-tool up|+update
TABLE
exit $status
