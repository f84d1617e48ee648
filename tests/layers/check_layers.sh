#!/usr/bin/env bash
# Every include under src/ must point down the stack of layers (or stay in its own layer).
# Usage: check_layers.sh [source-root]   (default: src/ beside this script's checkout)
set -euo pipefail
root=${1:-"$(dirname "$0")/../../src"}

# Each layer and the layers below it that it may use. The ground comes first.
declare -A allowed=(
    [platform]=""
    [protocol]="platform"
    [scope]="platform protocol"
    [registry]="platform protocol scope"
    [launch]="platform protocol"
    [supervision]="platform protocol scope registry launch"
    [main]="platform protocol scope registry launch supervision"
)

status=0
while IFS= read -r file; do
    relative=${file#"$root"/}
    layer=${relative%%/*}
    if [ -z "${allowed[$layer]+set}" ]; then
        echo "layering: $relative is in no known layer ($layer)"
        status=1
        continue
    fi
    while IFS= read -r target; do
        used=${target%%/*}
        [ "$used" = "$layer" ] && continue
        case " ${allowed[$layer]} " in
            *" $used "*) ;;
            *) echo "layering: $relative includes \"$target\": $layer may not use $used"; status=1 ;;
        esac
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find "$root" -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
exit $status
