# Shared by the real-kernel runs (run_wine_tests.sh, wine_session.sh):
# choosing Wine's 32- or 64-bit half, a fresh prefix, wine commands with a
# time limit, kernel services and the root device node of the touch driver.
# Sourced, not run. Every wine command has a timeout; wine_cleanup kills the
# prefix's server.

# wine_use ARCH WORK: ARCH x86 (Wine's 32-bit half) or x64 (its 64-bit half);
# the prefix is WORK/prefix.
wine_use() {
    case "$1" in
        x86) WINE_LOADER=wine; export WINEARCH=win32 ;;
        x64) WINE_LOADER=/usr/lib/wine/wine64; export WINEARCH=win64 ;;
        *) echo "wine_use: no architecture $1" >&2; return 2 ;;
    esac
    export WINEPREFIX=$2/prefix
    export WINEDEBUG=${PELVON_WINEDEBUG:--all}
    # Headless, and no offer to download Mono or Gecko.
    export WINEDLLOVERRIDES="mscoree=d;mshtml=d"
    unset DISPLAY WAYLAND_DISPLAY
}

# What wine_use needs on this machine; prints what is missing.
wine_missing_tools() {
    local tool
    for tool in "$WINE_LOADER" wineserver; do
        command -v "$tool" >/dev/null || echo "$tool"
    done
}

wine_cleanup() {
    timeout 30 wineserver -k >/dev/null 2>&1
    timeout 30 wineserver -w >/dev/null 2>&1
}

# Runs a wine command with a time limit; its output goes to stdout.
w() { timeout --kill-after=5 "${WINE_TIMEOUT:-60}" "$WINE_LOADER" "$@"; }

# The data of one registry value, or nothing.
reg_value() {
    w reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        awk -v name="$2" 'tolower($1) == tolower(name) { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
}

service_state() { w sc query "$1" 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'; }

# Starts a service. Right after wineboot the service manager may still be
# settling (the database locked, error 1055; a new service not yet known,
# 1060), so a failed start is retried for a while; the log keeps each error.
start_service() {
    local log=$1 service=$2 tries=0
    : >"$log"
    until WINEDEBUG=err+sc w sc start "$service" >>"$log" 2>&1; do
        [ "$(service_state "$service")" = "RUNNING" ] && return 0
        # Any other error (a driver whose entry failed: 1114) is final.
        tail -n 1 "$log" | grep -qE 'service (1055|1060)' || return 1
        [ $((tries += 1)) -lt 30 ] || return 1
        sleep 1
    done
}

# wine_fresh_prefix LOG: a new prefix, and a persistent server for it. The
# server that created the prefix goes first: a persistent server started
# before the prefix existed ends up with two service managers answering in
# turn. The new one is persistent, so the service manager and the driver
# host outlive each command instead of being shut down with the last program.
wine_fresh_prefix() {
    local log=$1
    wine_cleanup
    rm -rf "$WINEPREFIX"
    timeout --kill-after=10 240 "$WINE_LOADER" wineboot -i >"$log" 2>&1 || { echo "wineboot -i failed (see $log)"; return 1; }
    timeout 60 wineserver -w || { echo "the wine server did not finish after wineboot"; return 1; }
    timeout 30 wineserver -p || { echo "wineserver -p failed"; return 1; }
    [ -d "$WINEPREFIX/drive_c/windows/system32/drivers" ] || { echo "the prefix has no system32\\drivers"; return 1; }
}

wine_drivers_dir() { echo "$WINEPREFIX/drive_c/windows/system32/drivers"; }

# wine_kernel_service NAME FILE: copies the driver into system32\drivers and
# creates a demand-start kernel service for it. Every service of the run is
# in one group: Wine loads the services of a group into one driver host
# process, where the drivers can reach each other's objects. The service
# manager reads the group when the service is created, not later.
wine_kernel_service() {
    cp "$2" "$(wine_drivers_dir)/$1.sys" &&
        w sc create "$1" type= kernel start= demand group= PointerPort \
            'binPath=' "C:\\windows\\system32\\drivers\\$1.sys"
}

# The root device node whose function driver is the pelvon service: Wine
# adds and starts the device when the service starts.
wine_touch_device_node() {
    local node='HKLM\System\CurrentControlSet\Enum\Root\PELVON\0000'
    w reg add "$node" /v Service /t REG_SZ /d pelvon /f &&
        w reg add "$node" /v HardwareID /t REG_MULTI_SZ /d 'Root\PELVON' /f &&
        w reg add "$node" /v ClassGUID /t REG_SZ /d '{4D36E96F-E325-11CE-BFC1-08002BE10318}' /f
}
