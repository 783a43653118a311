#!/bin/sh
# Stands in for systemctl or deb-systemd-invoke in the upgrade test's chroot:
# logs the call and succeeds.
echo "${0##*/} $*" >>/var/log/stub-calls.log
exit 0
