#!/usr/bin/env bash
# The search of a PC with no device: `korvane-update detect` over an empty device folder and a sysfs
# tree of an ordinary PC (hubs, keyboard, mouse, webcam, Bluetooth, a memory stick; no serial
# adapter), laid out as the kernel does. Run under farm-bench; with a second program, paired
# against it (A/B ratio).
#   bench/no_device_search.sh PROGRAM [BASELINE_PROGRAM] [RUNS]
set -eu
program=$1
baseline=${2:-}
runs=${3:-21}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/dev" "$work/sys/bus/usb/devices"
bus=$work/sys/devices/pci0000:00/0000:00:14.0

# device VID PID PRODUCT INTERFACE_CLASS... (each interface NAME:1.N gets its class and a driver)
device() {
    local name=$1 vid=$2 pid=$3 product=$4
    shift 4
    local root=${name%%-*}
    local dir=$bus/usb$root/$name
    [[ $name == usb* ]] && dir=$bus/$name
    mkdir -p "$dir"
    printf '%s\n' "$vid" >"$dir/idVendor"
    printf '%s\n' "$pid" >"$dir/idProduct"
    printf '%s\n' "$product" >"$dir/product"
    ln -s "$(realpath --relative-to="$work/sys/bus/usb/devices" "$dir")" "$work/sys/bus/usb/devices/$name"
    local n=0
    for class in "$@"; do
        local interface=$name:1.$n
        [[ $name == usb* ]] && interface=${name#usb}-0:1.$n
        mkdir -p "$dir/$interface" "$work/sys/bus/usb/drivers/drv$class"
        printf '%s\n' "$class" >"$dir/$interface/bInterfaceClass"
        printf '00\n' >"$dir/$interface/bInterfaceSubClass"
        ln -s "$(realpath --relative-to="$dir/$interface" "$work/sys/bus/usb/drivers/drv$class")" "$dir/$interface/driver"
        ln -s "$(realpath --relative-to="$work/sys/bus/usb/devices" "$dir/$interface")" \
            "$work/sys/bus/usb/devices/$interface"
        n=$((n + 1))
    done
}
for bus_number in 1 2 3 4; do device usb$bus_number 1d6b 0002 "xHCI Host Controller" 09; done
device 1-1 05e3 0610 "USB2.0 Hub" 09
device 1-1.1 046d c31c "USB Keyboard" 03 03
device 1-1.2 046d c077 "USB Optical Mouse" 03
device 1-4 0c45 6366 "Integrated Webcam" 0e 0e 01 01
device 1-7 8087 0026 "" e0 e0
device 2-1 0781 5583 "Ultra Fit" 08
device 3-2 27c6 5395 "Goodix Fingerprint" ff

export KV_DEV_DIR=$work/dev KV_SYSFS_DIR=$work/sys
"$program" detect || true
if [[ -n "$baseline" ]]; then
    farm-bench -n "$runs" --vs "$baseline detect" -- "$program" detect
else
    farm-bench -n "$runs" -- "$program" detect
fi
