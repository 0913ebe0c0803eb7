#!/usr/bin/env bash
# Usage: check_layers.sh SRC_DIR. The library's layers only point down:
# counter -> device -> discovery -> transport -> platform. Fails on any
# #include of a layer above the including file's own, and on any reach into
# the device table from outside the device layer.
set -euo pipefail
cd "$1"
layers=(platform transport discovery device counter)
rank() {
    local i
    for i in "${!layers[@]}"; do
        [ "${layers[$i]}" = "$1" ] && echo "$i" && return
    done
    echo -1
}
bad=0
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
[ $bad -eq 0 ] && echo "layers point down only"
exit $bad
