# The VM tests' host side, sourced with vm (the name in messages), vm_dir
# (tests/vm), kernel, work and checker (scenario_check) set: the guest's
# initramfs, its boot under qemu, and the checks of what the guest saw.

# start TOOL...: the tools there, the kernel fetched, $work/root begun, accel chosen.
start() {
    for tool in qemu-system-x86_64 cpio busybox "$@"; do
        command -v "$tool" >/dev/null || [ -x "/bin/$tool" ] || {
            echo "$vm: $tool is missing: ./dev test installs it" >&2; exit 1; }
    done
    "$vm_dir/fetch-kernel" "$kernel"
    rm -rf "$work"
    mkdir -p "$work/root/lib" "$work/root/bin"
    work=$(realpath "$work")
    cp /bin/busybox "$work/root/bin/busybox"
    cp "$vm_dir/init-common" "$work/root/"
    accel=$("$vm_dir/choose-accel" "$kernel" "$work")
}

# pack MODULE...: the initramfs, these modules in its /lib and listed in /modules.
pack() {
    for module in "$@"; do cp "$kernel/$module.ko" "$work/root/lib/"; done
    echo "$@" >"$work/root/modules"
    (cd "$work/root" && find . | cpio -o -H newc --quiet | gzip -1 >"$work/initramfs.gz")
}

# boot NAME SECONDS ARGUMENTS [QEMU_OPTION...]: the guest, for at most
# SECONDS; its serial log, without carriage returns, in $work/NAME.log.txt.
# qemu exits with 0 whatever the guest did: only the files it leaves tell.
boot() {
    boot_name=$1 boot_seconds=$2 boot_arguments=$3 boot_started=$(date +%s)
    shift 3
    : >"$work/$boot_name.log"
    timeout "$boot_seconds" qemu-system-x86_64 -accel "$accel" "$@" \
        -nodefaults -no-user-config -display none -nic none -no-reboot \
        -serial "file:$work/$boot_name.log" -kernel "$kernel/vmlinuz" -initrd "$work/initramfs.gz" \
        -append "console=ttyS0 quiet loglevel=3 panic=-1 $boot_arguments" 2>"$work/$boot_name.qemu" || true
    tr -d '\r' <"$work/$boot_name.log" >"$work/$boot_name.log.txt"
    echo "$vm: boot $boot_name took $(($(date +%s) - boot_started)) s under $accel"
}

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# has FILE LINE: the file holds this exact line.
has() { grep -Fqx -- "$2" "$1" 2>/dev/null || fail "$1 lacks: $2"; }
# check WHAT SCENARIO OUT ERR|- [BOARD_LOG|- [STATUS]]: weigh's run as the
# scenario file says, by the tests' one checker ($checker); each
# expectation it finds unmet counts as a failure.
check() {
    "$checker" "$@" || failures=$((failures + $?))
}
# The output reports of weigh's start, each as long as the descriptor says.
ready="12 00 31 (3 bytes)
11 10 (2 bytes)
12 00 34 (3 bytes)"
# received WHAT BOARD_LOG REPORTS: the board received these and no others,
# and was switched off and on where REPORTS say.
received() {
    outputs=$(sed -n 's/^vboard: output //p; s/^vboard: at [0-9]* ms \(switched .*\)/\1/p' "$2" 2>/dev/null || true)
    [ "$outputs" = "$3" ] || fail "$1: output reports received:
$outputs"
}
# errors WHAT ERR TEXT: weigh's standard error is exactly TEXT.
errors() {
    [ "$(tr -d '\r' <"$2" 2>/dev/null)" = "$3" ] || fail "$1: weigh's standard error:
$(cat "$2" 2>/dev/null)"
}
# left_streaming WHAT BOARD_LOG LOADS: the board, left in mode 0x34, sent these
# loads first, and weigh's two mode changes took effect 20 ms or more late.
left_streaming() {
    grep -qx 'vboard: left in mode 34' "$2" || fail "$1: the board was not left in mode 0x34"
    [ "$(grep -m 1 '^vboard: at [0-9]* ms sends ' "$2" | sed 's/.* sends //')" = "34 buttons 00 00 loads $3" ] ||
        fail "$1: the board did not start in mode 0x34"
    changes=$(sed -n 's/^vboard: at \([0-9]*\) ms mode \(..\), asked for at \([0-9]*\) ms$/\2 \1 \3/p' "$2")
    [ "$(echo "$changes" | cut -d' ' -f1 | tr '\n' ' ')" = "31 34 " ] || fail "$1: mode changes:
$changes"
    ! echo "$changes" | while read -r changed at asked; do
        [ $((at - asked)) -ge 20 ] || echo "mode $changed took effect after $((at - asked)) ms"
    done | grep . || fail "$1: a mode change came sooner than 20 ms"
}
# verdict FILE...: when a check failed, shows the FILEs (an .out's end) and fails.
verdict() {
    [ "$failures" -eq 0 ] && return
    echo "$vm: $failures checks failed; what the guest left:"
    for file in "$@"; do
        case $file in *.out) echo "--- $file (last 5 lines)"; tail -n 5 "$file"; continue ;; esac
        echo "--- $file"; head -c 20000 "$file"; echo
    done
    exit 1
}
