#!/usr/bin/env python3
"""Runs a command inside the limits the systemd unit puts on the service.

The package check has no running systemd, so this reproduces the unit's
limits with the kernel's own means and then executes the command (same
process id, so a signal to it reaches the command):

  ProtectSystem=full     /usr, /boot, /efi, /etc (and the same below the
                         temporary install root) read-only, in a private
                         mount namespace
  PrivateTmp=yes         empty /tmp and /var/tmp of its own
  PrivateDevices=yes     a /dev with null, zero, full, random, urandom, tty
  ProtectKernelTunables  /proc/sys and /sys read-only
  ProtectControlGroups   /sys/fs/cgroup read-only
  NoNewPrivileges=yes    no_new_privs
  RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6
                         socket() and socketpair() of any other family fail
                         with EAFNOSUPPORT (seccomp)
  SystemCallArchitectures=native
                         other architectures kill the process; the x32 ABI
                         fails with ENOSYS
  RestrictNamespaces=yes unshare(), setns() and clone() with a namespace
                         flag fail with EPERM; clone3() with ENOSYS, as under
                         systemd, so the C library falls back to clone()
  LockPersonality=yes    personality() other than the default fails
  RestrictRealtime=yes   real-time scheduling fails with EPERM
  CapabilityBoundingSet  through setpriv (which also keeps no_new_privs)
  UMask=0027             os.umask before the command runs

ProtectClock, ProtectHostname, ProtectKernelModules and ProtectKernelLogs
guard calls that need capabilities the bounding set already drops.

Usage: unit-sandbox.py ROOT -- COMMAND [ARG...]
       unit-sandbox.py --probe   (exit 0 when a mount namespace is allowed)
Must run as root. Exits 2 when the namespace cannot be made.
"""
import ctypes
import os
import struct
import subprocess
import sys

CLONE_NEWNS = 0x00020000
PR_SET_NO_NEW_PRIVS = 38
PR_SET_SECCOMP = 22
SECCOMP_MODE_FILTER = 2

libc = ctypes.CDLL(None, use_errno=True)


def private_mounts():
    if libc.unshare(CLONE_NEWNS) != 0:
        return False
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    return True


def mount(*args):
    subprocess.run(["mount", *args], check=True)


def read_only(path):
    if os.path.isdir(path) and not os.path.islink(path):
        mount("--bind", path, path)
        mount("-o", "remount,bind,ro", path)


def private_devices(root):
    host = os.path.join(root, ".hostdev")
    os.makedirs(host, exist_ok=True)
    mount("--rbind", "/dev", host)
    mount("-t", "tmpfs", "-o", "mode=0755,nosuid,noexec", "tmpfs", "/dev")
    for name in ("null", "zero", "full", "random", "urandom", "tty"):
        node = os.path.join("/dev", name)
        open(node, "w").close()
        mount("--bind", os.path.join(host, name), node)
    for name in ("shm", "pts"):
        os.mkdir(os.path.join("/dev", name))
    mount("-t", "tmpfs", "-o", "mode=1777,nosuid,nodev", "tmpfs", "/dev/shm")
    for link, target in (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
                         ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2")):
        os.symlink(target, os.path.join("/dev", link))
    subprocess.run(["umount", "-l", host], check=True)
    os.rmdir(host)


# --- seccomp ------------------------------------------------------------------
LD_ABS, JEQ, JSET, RET = 0x20, 0x15, 0x45, 0x06
ALLOW = 0x7FFF0000
KILL_PROCESS = 0x80000000
AUDIT_ARCH_X86_64 = 0xC000003E
NR, ARCH = 0, 4


def arg(i):
    return 16 + 8 * i  # low 32 bits of the argument, little endian


def errno_ret(code):
    return (RET, 0, 0, 0x00050000 | code)


def rule(nr, body):
    return [(LD_ABS, 0, 0, NR), (JEQ, 0, len(body), nr)] + body


def families_body():
    # AF_UNIX 1, AF_INET 2, AF_INET6 10; EAFNOSUPPORT 97
    return [(LD_ABS, 0, 0, arg(0)), (JEQ, 2, 0, 1), (JEQ, 1, 0, 2), (JEQ, 0, 1, 10),
            (RET, 0, 0, ALLOW), errno_ret(97)]


def filter_program():
    eperm, enosys = errno_ret(1), errno_ret(38)
    namespace_flags = 0x7E020080  # CLONE_NEWNS ... CLONE_NEWNET, CLONE_NEWTIME
    program = [(LD_ABS, 0, 0, ARCH), (JEQ, 1, 0, AUDIT_ARCH_X86_64), (RET, 0, 0, KILL_PROCESS),
               (LD_ABS, 0, 0, NR), (JSET, 0, 1, 0x40000000), enosys]
    program += rule(41, families_body())   # socket
    program += rule(53, families_body())   # socketpair
    program += rule(272, [eperm])          # unshare
    program += rule(308, [eperm])          # setns
    program += rule(435, [enosys])         # clone3
    program += rule(56, [(LD_ABS, 0, 0, arg(0)), (JSET, 0, 1, namespace_flags), eperm,
                         (RET, 0, 0, ALLOW)])  # clone
    program += rule(135, [(LD_ABS, 0, 0, arg(0)), (JEQ, 1, 0, 0), (JEQ, 0, 1, 0xFFFFFFFF),
                          (RET, 0, 0, ALLOW), eperm])  # personality
    realtime = [(LD_ABS, 0, 0, arg(1)), (JEQ, 2, 0, 1), (JEQ, 1, 0, 2), (RET, 0, 0, ALLOW), eperm]
    program += rule(144, realtime)         # sched_setscheduler (SCHED_FIFO, SCHED_RR)
    program += [(RET, 0, 0, ALLOW)]
    return program


class SockFprog(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]


def install_filter():
    program = filter_program()
    code = b"".join(struct.pack("HBBI", *instruction) for instruction in program)
    buffer = ctypes.create_string_buffer(code, len(code))
    prog = SockFprog(len(program), ctypes.addressof(buffer))
    if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "no_new_privs")
    if libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.byref(prog), 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "seccomp")


def main(argv):
    if argv[1:] == ["--probe"]:
        return 0 if os.uname().machine == "x86_64" and private_mounts() else 2
    if len(argv) < 4 or argv[2] != "--":
        print(__doc__, file=sys.stderr)
        return 2
    root, command = argv[1], argv[3:]
    if os.uname().machine != "x86_64" or not private_mounts():
        print("unit-sandbox: no private mount namespace here", file=sys.stderr)
        return 2
    for path in ("/usr", "/boot", "/efi", "/etc"):
        read_only(path)
    for path in ("usr", "etc", "lib"):
        read_only(os.path.join(root, path))
    for path in ("/tmp", "/var/tmp"):
        mount("-t", "tmpfs", "-o", "mode=1777,nosuid,nodev", "tmpfs", path)
    private_devices(root)
    for path in ("/proc/sys", "/sys", "/sys/fs/cgroup"):
        read_only(path)
    install_filter()
    os.umask(0o027)
    os.execvp("setpriv", ["setpriv", "--no-new-privs", "--bounding-set",
                          "-all,+dac_override,+dac_read_search,+fowner,+chown,+fsetid,+lease", "--"]
              + command)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
