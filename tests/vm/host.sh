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
