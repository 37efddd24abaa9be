#!/usr/bin/env bash
# Runs the tool tests once more as a machine would that takes other paths than
# this one may, with umask 077:
#   on_other_machines.sh WITHOUT_UNNAMED_FILES TOOL_TESTS MACHINE [GTEST_ARG...]
# MACHINE is one of
#   root-before-6.10  root in a container started with the default capabilities
#                     (neither CAP_SYS_ADMIN nor CAP_DAC_READ_SEARCH), on a Linux
#                     before 6.10: unnamed files cannot be named
#   user-before-6.10  a normal user (65534 when run as root) on such a Linux
#   no-unnamed-files  this user on a file system without unnamed files
# Exits 77, which ctest counts as skipped, where this machine cannot run so.
set -euo pipefail
without=$1 tests=$2 machine=$3
shift 3

skip() {
  echo "skipped: $*"
  exit 77
}

# A default container's capabilities.
container_caps=-all,+chown,+dac_override,+fowner,+fsetid,+kill,+setgid,+setuid,+setpcap
container_caps+=,+net_bind_service,+net_raw,+sys_chroot,+mknod,+audit_write,+setfcap

as=()
mode=naming
case "$machine" in
  root-before-6.10)
    [ "$(id -u)" -eq 0 ] || skip "needs root"
    as=(setpriv --bounding-set="$container_caps" --)
    "${as[@]}" true || skip "cannot drop capabilities with setpriv"
    ;;
  user-before-6.10)
    if [ "$(id -u)" -eq 0 ]; then
      as=(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp TMPDIR=/tmp)
      "${as[@]}" test -x "$tests" || skip "user 65534 cannot run $tests"
    fi
    ;;
  no-unnamed-files) mode=creating ;;
  *) echo "unknown machine: $machine" >&2; exit 2 ;;
esac

umask 077
exec "${as[@]}" "$without" "$mode" "$tests" --gtest_brief=1 "$@"
