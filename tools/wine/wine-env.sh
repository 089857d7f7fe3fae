# Shell functions for running Windows programs under Wine in private prefixes.
# Source this file from bash: . tools/wine/wine-env.sh
#
#   kv_wine_template_ensure      Make the template prefix once (cached in $KV_WINE_TEMPLATE, default
#                                /tmp/kv-wine-template) under a lock, with the quiet, fast settings:
#                                no window management, no audio driver, no crash dialog.
#   kv_wine_prefix_new [DIR]     Copy the template to DIR (default: a new /tmp/kv-wine-XXXXXX) and
#                                export WINEPREFIX to it. Sets KV_WINE_PREFIX.
#   kv_wine_prefix_start         Start the prefix's wineserver (kept alive until kv_wine_cleanup) and
#                                its boot processes, then remove the com* links the mount manager made.
#   kv_wine_com_clear            Remove every com* link from the prefix's dosdevices.
#   kv_wine_com_link N TARGET    Make \\.\COMn of the prefix open TARGET (a pty slave, a link to one).
#   kv_wine_com_links "N=T ..."  kv_wine_com_link for each N=TARGET pair of a space-separated list.
#   kv_wine_xvfb_start           Start a private Xvfb on a free display and export DISPLAY.
#                                Sets KV_WINE_XVFB_PID.
#   kv_wine_xvfb_stop            Stop that Xvfb.
#   kv_wine_run PROGRAM [ARGS]   Run a program in the prefix in the foreground; returns its exit status.
#   kv_wine_run_bg PROGRAM [ARGS]
#                                Same in the background; the wine process id is in KV_WINE_BG_PID.
#   kv_wine_cleanup              End every process of the prefix (wineserver -k, then -w), stop the
#                                Xvfb if one was started here, and remove a prefix made by
#                                kv_wine_prefix_new. Safe to call more than once, e.g. from a trap.
#
# Every function works on the prefix in WINEPREFIX, so two scripts that each made their own prefix
# can run at the same time.
#
# COM1 is special when /dev/ttyS0 exists: the mount manager also makes a \\.\COM1 device of its
# own, which stays after the com1 link is removed. It opens, but GetCommState on it fails, so a
# port search passes over it at once. A com1 link made with kv_wine_com_link takes precedence.

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine gives Windows file names their Unix names in the locale's character set. Under the C locale
# of a bare system (no LANG at all), a name in another script has no Unix name and every open of
# it fails; UTF-8 then, unless the locale already is.
if [[ "$(locale charmap 2>/dev/null)" != "UTF-8" ]]; then
    export LC_ALL=C.UTF-8
fi

: "${KV_WINE_TEMPLATE:=/tmp/kv-wine-template}"

# Files that no Wine process writes: shared with the template through hard links, which makes a
# prefix copy take a fraction of a second instead of copying some 700 MB. Everything else is copied.
_kv_wine_private_files() { # _kv_wine_private_files DIR: the files of DIR to copy, NUL-separated
    find "$1" -type f ! \( -iname '*.dll' -o -iname '*.exe' -o -iname '*.sys' -o -iname '*.drv' \
        -o -iname '*.ocx' -o -iname '*.acm' -o -iname '*.cpl' -o -iname '*.tlb' -o -iname '*.nls' \
        -o -iname '*.ds' -o -iname '*.mui' \) -print0
}

_kv_wine_stamp() {
    wine --version 2>/dev/null
}

kv_wine_template_ensure() {
    local template="$KV_WINE_TEMPLATE"
    local stamp
    stamp="$(_kv_wine_stamp)"
    if [[ -f "$template/.kv-template" && "$(cat "$template/.kv-template")" == "$stamp" ]]; then
        return 0
    fi
    mkdir -p "$(dirname "$template")" || return 1
    (
        flock 9 || exit 1
        if [[ -f "$template/.kv-template" && "$(cat "$template/.kv-template")" == "$stamp" ]]; then
            exit 0
        fi
        local work="$template.new.$$"
        rm -rf "$work"
        mkdir -p "$work" || exit 1
        export WINEPREFIX="$work"
        unset DISPLAY
        wineboot -i >/dev/null 2>&1 || { rm -rf "$work"; exit 1; }
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 &&
        wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /t REG_SZ /d '' /f >/dev/null 2>&1 &&
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
            >/dev/null 2>&1 || { wineserver -k; rm -rf "$work"; exit 1; }
        # Let the server end by itself: it saves the registry on the way out.
        wineserver -w
        rm -f "$work"/dosdevices/com*
        printf '%s' "$stamp" >"$work/.kv-template"
        rm -rf "$template.old.$$"
        if [[ -e "$template" ]]; then
            mv "$template" "$template.old.$$"
        fi
        mv "$work" "$template" || exit 1
        # Prefixes still hard-linked to an old template keep their files; only the names go.
        rm -rf "$template.old.$$"
    ) 9>"$template.lock"
}

kv_wine_prefix_new() {
    kv_wine_template_ensure || { echo "wine-env: cannot make the template prefix" >&2; return 1; }
    local dir="${1:-}"
    if [[ -z "$dir" ]]; then
        dir="$(mktemp -d /tmp/kv-wine-XXXXXX)" || return 1
    else
        mkdir -p "$dir" || return 1
    fi
    if cp -a --link "$KV_WINE_TEMPLATE/." "$dir/" 2>/dev/null; then
        local f
        while IFS= read -r -d '' f; do
            cp -p "$f" "$f.kv-copy" && mv -f "$f.kv-copy" "$f" || return 1
        done < <(_kv_wine_private_files "$dir")
    else
        # Another file system than the template's: no hard links, a full copy.
        rm -rf "${dir:?}/"* "$dir"/.[!.]* 2>/dev/null
        cp -a "$KV_WINE_TEMPLATE/." "$dir/" || return 1
    fi
    rm -f "$dir/.kv-template"
    KV_WINE_PREFIX="$dir"
    KV_WINE_OWNS_PREFIX=1
    export WINEPREFIX="$dir"
}

kv_wine_com_clear() {
    rm -f "$WINEPREFIX"/dosdevices/com*
}

kv_wine_prefix_start() {
    # The server's own diagnostics (an object dump when it is killed mid-I/O) are no test output.
    wineserver -p 2>/dev/null || return 1
    # The first process boots the prefix: services and the mount manager, which links com1 to
    # /dev/ttyS0 when that exists. Nothing answers there, so the stray links are removed. The
    # manager's own \\.\COM1 device object stays: without a link it opens, but GetCommState on
    # it fails, so a port search skips it at once. A link made afterwards wins over it.
    wine cmd /c exit 0 >/dev/null 2>&1 </dev/null
    kv_wine_com_clear
}

kv_wine_com_link() {
    local n="$1" target="$2"
    if [[ ! "$n" =~ ^[0-9]+$ || -z "$target" ]]; then
        echo "wine-env: bad COM link '$n=$target'" >&2
        return 1
    fi
    ln -sfn "$target" "$WINEPREFIX/dosdevices/com$n"
}

kv_wine_com_links() {
    local pair
    for pair in $1; do
        kv_wine_com_link "${pair%%=*}" "${pair#*=}" || return 1
    done
}

kv_wine_xvfb_start() {
    local fifo display
    fifo="$(mktemp -u /tmp/kv-xvfb-XXXXXX)"
    mkfifo "$fifo" || return 1
    Xvfb -displayfd 7 -screen 0 1024x768x24 -nolisten tcp 7>"$fifo" >/dev/null 2>&1 &
    KV_WINE_XVFB_PID=$!
    if ! read -r -t 10 display <"$fifo"; then
        rm -f "$fifo"
        kv_wine_xvfb_stop
        echo "wine-env: Xvfb did not start" >&2
        return 1
    fi
    rm -f "$fifo"
    export DISPLAY=":$display"
}

kv_wine_xvfb_stop() {
    if [[ -n "${KV_WINE_XVFB_PID:-}" ]]; then
        kill "$KV_WINE_XVFB_PID" 2>/dev/null
        wait "$KV_WINE_XVFB_PID" 2>/dev/null
        KV_WINE_XVFB_PID=
    fi
}

kv_wine_run() {
    wine "$@"
}

kv_wine_run_bg() {
    wine "$@" &
    KV_WINE_BG_PID=$!
}

kv_wine_cleanup() {
    if [[ -n "${WINEPREFIX:-}" && -d "$WINEPREFIX" ]]; then
        wineserver -k 2>/dev/null
        wineserver -w 2>/dev/null
    fi
    kv_wine_xvfb_stop
    if [[ -n "${KV_WINE_OWNS_PREFIX:-}" && -n "${KV_WINE_PREFIX:-}" ]]; then
        rm -rf "$KV_WINE_PREFIX"
        KV_WINE_OWNS_PREFIX=
        KV_WINE_PREFIX=
    fi
}
