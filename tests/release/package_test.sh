#!/usr/bin/env bash
# The artifact a user downloads, as they would use it: cpack makes it from the build, it is unpacked,
# its SHA-256 list checked, its programs checked for their protections and run.
#   package_test.sh win CPACK_CONFIG VERSION UIDRIVER_EXE [signed]
#       the zip; its dialog opens under Wine. signed: made with a throwaway self-signed certificate,
#       and both programs' signatures verified; otherwise both programs are unsigned.
#   package_test.sh linux CPACK_CONFIG VERSION MODE QFWPACK KEYS
#       the tar.gz; its korvane-update runs. MODE hardened: checked for its protections (not in a
#       sanitizer build). KEYS: "release" (the program must refuse a package signed with the test
#       key) or "test" (a test build, which trusts it); QFWPACK signs that package.
set -u
kind="$1" config="$2" version="$3"
if [[ "$kind" == win ]]; then
    uidriver="$4" mode="${5:-}"
else
    mode="${4:-}" qfwpack="${5:-}" keys="${6:-}"
fi
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
check_binaries="$here/../trust/check_binaries.py"
. "$here/../../tools/wine/wine-env.sh"
work="$(mktemp -d /tmp/kv-package-XXXXXX)"
cleanup() {
    if [[ -n "${WINEPREFIX:-}" ]]; then
        kv_wine_cleanup
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
fail() {
    echo "FAILED: $*"
    exit 1
}

if [[ "$mode" == signed ]]; then
    # What a release manager is given: a PKCS#12 file and its password, in the environment.
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Korvane release test" \
        -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
        -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1 || fail "making a certificate"
    export KV_SIGN_PASSWORD="test password $RANDOM"
    openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/release.p12" \
        -passout env:KV_SIGN_PASSWORD || fail "making the PKCS#12 file"
    export KV_SIGN_PKCS12="$work/release.p12"
else
    unset KV_SIGN_PKCS12 KV_SIGN_PASSWORD
fi
cpack --config "$config" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
unset KV_SIGN_PKCS12 KV_SIGN_PASSWORD
if [[ "$kind" == win ]]; then
    name="KorvaneUpdater-$version-win64"
    archive="$work/out/$name.zip"
else
    name="korvane-update-$version-$(uname -s | tr 'A-Z' 'a-z')-$(uname -m)"
    archive="$work/out/$name.tar.gz"
fi
[[ -f "$archive" ]] || fail "no $(basename "$archive"); cpack made: $(ls "$work/out")"
(cd "$work/out" && sha256sum -c --quiet "$(basename "$archive").sha256") || fail "the archive's own .sha256"
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$archive") || fail "unpacking $(basename "$archive")"
dir="$work/unpacked/$name"
[[ -d "$dir" ]] || fail "no top folder $name in the archive"
echo "$(basename "$archive"):"
(cd "$dir" && find . -type f | sort | sed 's|^\./|  |')

# The list names every other file, and every file matches it.
[[ -f "$dir/SHA256SUMS" ]] || fail "no SHA256SUMS"
listed=$(awk '{print $2}' "$dir/SHA256SUMS" | sort)
present=$(cd "$dir" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort)
[[ "$listed" == "$present" ]] || fail "SHA256SUMS lists [$listed], the archive holds [$present]"
(cd "$dir" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not match"
[[ -f "$dir/README.md" ]] || fail "no README.md"

if [[ "$kind" == linux ]]; then
    [[ -x "$dir/bin/korvane-update" ]] || fail "no bin/korvane-update"
    rules="$dir/udev/60-korvane-update.rules"
    [[ -f "$rules" ]] || fail "no udev/60-korvane-update.rules"
    grep -q '^SUBSYSTEM=="tty", ATTRS{idVendor}=="0403|10c4|1a86|067b", TAG+="uaccess", ENV{ID_MM_DEVICE_IGNORE}="1"$' \
        "$rules" || fail "the udev rules give no access or keep ModemManager on"
    if [[ "$mode" == hardened ]]; then
        python3 "$check_binaries" --stripped "$dir/bin/korvane-update" || fail "the released program's protections"
    fi
    got=$("$dir/bin/korvane-update" --version) || fail "korvane-update --version"
    [[ "$got" == "korvane-update $version" ]] || fail "korvane-update --version says '$got'"
    echo "ok: $got"
    # A package signed with the test key, whose private half is in the repository: a release must
    # refuse it before looking for any device; a test build goes on to look (and finds none).
    "$qfwpack" --out "$work/test-signed.qfw" >/dev/null || fail "qfwpack"
    "$qfwpack" sign "$work/test-signed.qfw" --key "$here/../keys/test-only-a.key.pem" >/dev/null ||
        fail "qfwpack sign"
    said=$("$dir/bin/korvane-update" check "$work/test-signed.qfw" --port "$work/no-such-port" 2>/dev/null)
    status=$?
    refusal="The firmware package's signature does not match its contents. It may have been altered. Download it again from the manufacturer."
    if [[ "$keys" == release ]]; then
        [[ $status -eq 3 && "$said" == "$refusal" ]] ||
            fail "the released program took a package signed with the test key (status $status: $said)"
        echo "ok: a package signed with the test key is refused"
    else
        [[ $status -eq 2 ]] || fail "this test build refused a package signed with the test key (status $status: $said)"
        echo "ok: this test build trusts the test key"
    fi
    exit 0
fi

[[ -f "$dir/KorvaneUpdater.exe" ]] || fail "no KorvaneUpdater.exe"
[[ -f "$dir/korvane-update.exe" ]] || fail "no korvane-update.exe"
python3 "$check_binaries" --stripped "$dir/KorvaneUpdater.exe" "$dir/korvane-update.exe" ||
    fail "the released programs' imports and header bits"
for exe in KorvaneUpdater.exe korvane-update.exe; do
    if [[ "$mode" == signed ]]; then
        osslsigncode verify -CAfile "$work/cert.pem" -in "$dir/$exe" >"$work/verify.log" 2>&1 ||
            { cat "$work/verify.log"; fail "the signature of $exe"; }
        grep -q "Signer's certificate:" "$work/verify.log" && grep -q "/CN=Korvane release test" "$work/verify.log" ||
            { cat "$work/verify.log"; fail "$exe is not signed by the release certificate"; }
        echo "ok: $exe signed and verified"
    elif osslsigncode verify -in "$dir/$exe" >/dev/null 2>&1; then
        fail "$exe carries a valid signature without a certificate given"
    fi
done
kv_wine_prefix_new >/dev/null || fail "Wine prefix"
kv_wine_xvfb_start || fail "Xvfb"
kv_wine_prefix_start || fail "Wine prefix start"
got=$(wine "$dir/korvane-update.exe" --version </dev/null | tr -d '\r') || fail "korvane-update.exe --version"
[[ "$got" == "korvane-update $version" ]] || fail "korvane-update.exe --version says '$got'"
echo "ok: $got"
# The title shows the file version as major.minor.build.revision with 2, 4 and 2 digits.
IFS=. read -r major minor build revision <<<"$version"
title=$(printf 'Quenbyware Firmware Updater: Build %d.%02d.%04d.%02d' "$major" "$minor" "$build" "$revision")
kv_wine_run_bg "$dir/KorvaneUpdater.exe"
found=$(wine "$uidriver" find 20000 2>/dev/null) || fail "the dialog did not appear: $found"
[[ "$found" == *"\"caption\":\"$title\""* ]] || fail "dialog found, caption not '$title': $found"
echo "ok: the dialog opened: $title"
wine "$uidriver" close >/dev/null 2>&1
wine "$uidriver" gone 10000 >/dev/null 2>&1 || fail "the dialog did not close"
