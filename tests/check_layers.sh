#!/usr/bin/env bash
# Usage: check_layers.sh SRC_DIR [TOOL_DIR]. Includes only point down.
#
# The library's layers: counter -> device -> discovery -> transport ->
# platform. Fails on any #include of a layer above the including file's own,
# and on any reach into the device table from outside the device layer.
#
# The tool's rooms (TOOL_DIR, tools/brivant): each may include its own
# headers and those of the rooms listed for it below, nothing else; a
# header is always named with its room ("station/station_file.h"), or by
# its bare name beside the file that includes it.
set -euo pipefail
bad=0

check_library() {
    cd "$1"
    local layers=(platform transport discovery device counter)
    rank() {
        local i
        for i in "${!layers[@]}"; do
            [ "${layers[$i]}" = "$1" ] && echo "$i" && return
        done
        echo -1
    }
    local layer own file line included target
    for layer in "${layers[@]}"; do
        own=$(rank "$layer")
        while IFS=: read -r file line included; do
            target=$(rank "$included")
            if [ "$target" -gt "$own" ]; then
                echo "$file:$line: the $layer layer includes $included/, a layer above it"
                bad=1
            fi
        done < <(grep -rnoE '^#include "[a-z]+/' "$layer" | sed -E 's/#include "([a-z]+)\//\1/')
    done
    # The table itself is the device layer's own; others hold a unit through device.h.
    if grep -rn '#include "device/device_table.h"' --exclude-dir=device . ; then
        echo "only the device layer reaches into its table"
        bad=1
    fi
    cd - >/dev/null
}

check_tool() {
    cd "$1"
    # What each room may include besides itself (platform: the library's
    # USB diagnostics, which `list` and udev-probe report).
    declare -A allowed=(
        [util]=""
        [station]="util"
        [client]="util"
        [service]="station util"
        [journal]="service station util"
        [http]="journal service station util"
        [export]="journal service station util"
        [serve]="http export journal service client station util"
        [commands]="serve http export journal service client station util platform"
    )
    local room file line included dir
    for room in "${!allowed[@]}"; do
        [ -d "$room" ] || { echo "tools: no room $room/"; bad=1; continue; }
        while IFS=: read -r file line included; do
            if [[ "$included" == */* ]]; then
                local target=${included%%/*}
                if [ "$target" != "$room" ] && [[ " ${allowed[$room]} " != *" $target "* ]]; then
                    echo "$file:$line: the $room room includes $included"
                    bad=1
                fi
            else
                # A bare name is only for a header beside the file.
                dir=$(dirname "$file")
                if [ ! -e "$dir/$included" ] && [ "$included" != brivant.h ] && [ "$included" != brivant.hpp ]; then
                    echo "$file:$line: $included is not beside it; name its room"
                    bad=1
                fi
            fi
        done < <(grep -rnoE '^#include "[^"]+"' "$room" | sed -E 's/#include "([^"]+)"/\1/')
    done
    # Every source file is in a room, but for the executable's main.cpp.
    local stray
    stray=$(find . -maxdepth 1 \( -name '*.cpp' -o -name '*.h' \) ! -name main.cpp)
    if [ -n "$stray" ]; then
        echo "tools: files outside the rooms: $stray"
        bad=1
    fi
    if grep -rnE '^#include "\.\.' . ; then
        echo "tools: a header is named with ../ instead of its room"
        bad=1
    fi
    cd - >/dev/null
}

check_library "$1"
if [ $# -ge 2 ]; then
    check_tool "$2"
fi
[ $bad -eq 0 ] && echo "layers point down only"
exit $bad
