#!/bin/bash
# Starts a daemon the way its systemd unit does, as far as the file system
# goes, on a machine where systemd is not PID 1: in a private mount namespace
# every mount is read-only but what the unit makes writable, /tmp is private,
# the homes are hidden, and the daemon runs as a user of its own with the
# unit's groups, umask and no new privileges. The directives are read from
# the unit file itself; one this script does not know refuses the run (exit
# 2), so that the model cannot drift from the unit. Seccomp, DeviceAllow=,
# ProtectProc= and the other directives that only restrict what is read or
# called are not modelled.
#
#   unit-sandbox.sh UNIT UID STATE CREDENTIALS PROGRAM [KEEP...]
#
# UNIT         the unit file (its ExecStart= gives the arguments; its program
#              is replaced by PROGRAM)
# UID          the numeric user the daemon runs as (DynamicUser=)
# STATE        the folder that stands for StateDirectory= ($STATE_DIRECTORY)
# CREDENTIALS  the folder that stands for LoadCredential='s copies
#              ($CREDENTIALS_DIRECTORY), read-only
# KEEP         folders kept visible and writable at their paths, /tmp's too
#              (the emulated boards' test bed, a build tree under /tmp)
#
# KESTRUNE_SANDBOX_RUNTIME names the folder that stands for RuntimeDirectory=
# ($RUNTIME_DIRECTORY), made the user's with RuntimeDirectoryMode=.
# KESTRUNE_TEST_PRELOAD, if set, becomes LD_PRELOAD on the daemon's exec only.
# A private tmpfs on /run/lock keeps the machine's lock files out of reach.
set -euo pipefail

if [[ ${KESTRUNE_SANDBOXED:-} != yes ]]; then
    export KESTRUNE_SANDBOXED=yes
    exec unshare --mount --propagation private "$0" "$@"
fi
unset KESTRUNE_SANDBOXED

unit=$1 uid=$2 state=$3 credentials=$4 program=$5
shift 5
keep=("$@")
refuse() { echo "unit-sandbox.sh: $*" >&2; exit 2; }

# The [Service] section's directives, in order.
exec_start="" writable=() umask_value=0022 groups="" no_new_privs=no bounding=keep state_mode=0755
private_tmp=no protect_home=no protect_system=no runtime="" runtime_mode=0755
section=""
while IFS= read -r line || [[ -n $line ]]; do
    [[ $line =~ ^[[:space:]]*(#|;|$) ]] && continue
    if [[ $line =~ ^\[(.*)\]$ ]]; then
        section=${BASH_REMATCH[1]}
        continue
    fi
    [[ $section == Service ]] || continue
    key=${line%%=*} value=${line#*=}
    case $key in
        # What the file system looks like to the daemon.
        DynamicUser) [[ $value == yes ]] && protect_system=strict private_tmp=yes protect_home=yes ;;
        ProtectSystem) [[ $value == strict ]] || refuse "ProtectSystem=$value is not modelled"; protect_system=strict ;;
        ProtectHome) [[ $value == yes || $value == true || $value == read-only ]] || refuse "ProtectHome=$value is not modelled"; protect_home=yes ;;
        PrivateTmp) [[ $value == yes ]] && private_tmp=yes ;;
        ReadWritePaths) for p in $value; do writable+=("${p#-}"); done ;;
        StateDirectory) writable+=("$state") ;;
        StateDirectoryMode) state_mode=$value ;;
        RuntimeDirectory)
            runtime=${KESTRUNE_SANDBOX_RUNTIME:-}
            [[ -n $runtime ]] || refuse "RuntimeDirectory= needs KESTRUNE_SANDBOX_RUNTIME"
            writable+=("$runtime") ;;
        RuntimeDirectoryMode) runtime_mode=$value ;;
        LoadCredential) ;;  # CREDENTIALS, read-only
        ProtectKernelTunables | ProtectControlGroups | PrivateMounts)
            [[ $value == yes ]] || refuse "$key=$value is not modelled" ;;
        # Who the daemon is.
        UMask) umask_value=$value ;;
        SupplementaryGroups) groups=$value ;;
        NoNewPrivileges) no_new_privs=$value ;;
        CapabilityBoundingSet) [[ -z $value ]] && bounding=none ;;
        ExecStart) exec_start=$value ;;
        # Neither the file system nor the user: not modelled.
        Type | Restart | RestartSec | DevicePolicy | DeviceAllow | RestrictAddressFamilies | ProtectClock | \
            ProtectHostname | ProtectKernelModules | ProtectKernelLogs | ProtectProc | RestrictNamespaces | \
            RestrictRealtime | RestrictSUIDSGID | LockPersonality | SystemCallArchitectures | SystemCallFilter | \
            SystemCallErrorNumber) ;;
        *) refuse "$key= is a directive this sandbox does not model: model it here first" ;;
    esac
done <"$unit"
[[ -n $exec_start ]] || refuse "the unit has no ExecStart="
[[ $protect_system == strict ]] || refuse "only ProtectSystem=strict is modelled"

# The lock folder of this run only, writable until the unit says otherwise.
mount -t tmpfs -o mode=1777,size=4m kestrune-sandbox-locks /run/lock

# PrivateTmp=: a fresh /tmp and /var/tmp, with the stand-ins for /dev and
# /sys, the state, the credentials and the program's folder (a build tree may
# live under /tmp; it stands for /usr/bin) bound in at their paths.
held=()
for dir in "${keep[@]}" "$state" "$credentials" ${runtime:+"$runtime"} "$(dirname "$program")"; do
    exec {fd}<"$dir"
    held+=("$fd:$dir")
done
if [[ $private_tmp == yes ]]; then
    mount -t tmpfs -o mode=1777 kestrune-sandbox-tmp /tmp
    mount -t tmpfs -o mode=1777 kestrune-sandbox-tmp /var/tmp
fi
for entry in "${held[@]}"; do
    fd=${entry%%:*} dir=${entry#*:}
    mkdir -p "$dir"
    mount --no-canonicalize --bind "/proc/self/fd/$fd" "$dir"
done
if [[ $protect_home == yes ]]; then
    for home in /home /root /run/user; do
        [[ -d $home ]] && mount -t tmpfs -o mode=0000,size=4k kestrune-sandbox-home "$home"
    done
fi
mount --bind /proc/sys /proc/sys

# ProtectSystem=strict: every mount read-only but the API file systems
# /dev and /proc (ProtectKernelTunables= keeps /proc/sys and /sys read-only),
# the private /tmp and what the unit makes writable.
is_writable() {
    local mp=$1 w
    [[ $mp == /dev || $mp == /dev/* || $mp == /proc || ($mp == /proc/* && $mp != /proc/sys*) ]] && return 0
    if [[ $private_tmp == yes && ($mp == /tmp || $mp == /var/tmp) ]]; then return 0; fi
    for w in "${writable[@]}" "${keep[@]}"; do
        [[ $mp == "$w" || $mp == "$w"/* ]] && return 0
    done
    return 1
}
mapfile -t mounts < <(awk '{ print $5 }' /proc/self/mountinfo)
for mp in "${mounts[@]}"; do
    mp=$(printf '%b' "$mp")
    is_writable "$mp" && continue
    mount -o remount,bind,ro "$mp" 2>/dev/null || refuse "cannot make $mp read-only"
done

# The daemon, as its unit runs it.
chmod "$state_mode" "$state"
if [[ -n $runtime ]]; then
    chown "$uid" "$runtime"
    chmod "$runtime_mode" "$runtime"
fi
read -r -a words <<<"$exec_start"
arguments=()
for word in "${words[@]:1}"; do
    arguments+=("${word//\$\{CREDENTIALS_DIRECTORY\}/$credentials}")
done
privileges=(--reuid="$uid" --regid="$uid")
if [[ -n $groups ]]; then
    gids=""
    for g in $groups; do gids+=${gids:+,}$(getent group "$g" | cut -d: -f3); done
    privileges+=(--groups="$gids")
else
    privileges+=(--clear-groups)
fi
[[ $no_new_privs == yes ]] && privileges+=(--no-new-privs)
[[ $bounding == none ]] && privileges+=(--bounding-set=-all --inh-caps=-all)
umask "$umask_value"
exec setpriv "${privileges[@]}" env -u KESTRUNE_SOCKET -u KESTRUNE_RUNTIME_DIR STATE_DIRECTORY="$state" CREDENTIALS_DIRECTORY="$credentials" ${runtime:+RUNTIME_DIRECTORY="$runtime"} \
    ${KESTRUNE_TEST_PRELOAD:+LD_PRELOAD="$KESTRUNE_TEST_PRELOAD"} "$program" "${arguments[@]}"
