#!/usr/bin/env python3
"""What a run sends to the system log, read from a datagram socket of the test's own at /dev/log.

The test makes a private mount namespace (unshare --mount, as the superuser) in which /dev is a
directory of its own holding the socket beside the devices a run needs, and runs the program
there against the stand-in tool. It is skipped (exit 77) where that cannot be set up.

Usage: syslog_test.py PROGRAM TOOL SCRATCH-DIR
"""
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys

DEVICES = ["null", "zero", "full", "random", "urandom", "tty"]
USER = 1 << 3  # LOG_USER
NOTICE, ERR = 5, 3


def skip(why):
    print(f"skipped: {why}")
    sys.exit(77)


def private_dev(scratch):
    """Puts a directory of the test's own over /dev, with the devices and a socket at /dev/log."""
    dev = os.path.join(scratch, "dev")
    os.makedirs(dev)
    for name in DEVICES:
        if os.path.exists("/dev/" + name):
            open(os.path.join(dev, name), "w").close()
            subprocess.run(["mount", "--bind", "/dev/" + name, os.path.join(dev, name)], check=True)
    for name, target in [("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
                         ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2")]:
        os.symlink(target, os.path.join(dev, name))
    subprocess.run(["mount", "--bind", dev, "/dev"], check=True)
    log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    log.bind("/dev/log")
    log.setblocking(False)
    return log


def received(log):
    """The (priority, message) of every datagram that has arrived, tag and pid checked."""
    lines = []
    while True:
        try:
            data = log.recv(65536).decode("utf-8", "replace")
        except BlockingIOError:
            return lines
        match = re.match(r"<(\d+)>\w{3} [ \d]\d \d\d:\d\d:\d\d orvTQupdate\[(\d+)\]: (.*)$", data, re.S)
        assert match, f"not a line of orvTQupdate's: {data!r}"
        lines.append((int(match.group(1)), match.group(3)))


def run(program, work, args):
    wrapper = shlex.split(os.environ.get("ORV_TEST_WRAPPER", ""))
    return subprocess.run(wrapper + [program] + args, cwd=work, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL).returncode


def main():
    program, tool, scratch = sys.argv[1:4]
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        skip("needs the superuser and unshare(1) for a private /dev/log")
    if os.environ.get("ORV_IN_NAMESPACE") != "1":
        shutil.rmtree(scratch, ignore_errors=True)
        os.makedirs(scratch)
        env = dict(os.environ, ORV_IN_NAMESPACE="1")
        probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"])
        if probe.returncode != 0:
            skip("unshare --mount does not work here")
        sys.exit(subprocess.run(["unshare", "--mount", "--propagation", "private", sys.executable] + sys.argv,
                                env=env).returncode)

    log = private_dev(scratch)
    work = os.path.join(scratch, "work")
    os.mkdir(work)
    os.chmod(work, 0o755)
    shutil.copy(tool, os.path.join(work, "tarvo"))
    os.chmod(os.path.join(work, "tarvo"), 0o755)
    for name, text in [("info.txt", "0x1111,Alpha,a.bin\n0x2222,Beta,b.bin\n"), ("a.bin", "p\n"), ("b.bin", "p\n"),
                       ("tarvo-machine.txt", "0x1111, A\n0x2222, B, exit=3\n0x9999, C\n")]:
        with open(os.path.join(work, name), "w") as f:
            f.write(text)

    failures = 0

    def expect(what, args, status, lines):
        nonlocal failures
        got_status = run(program, work, args)
        got = received(log)
        if got_status == status and got == lines:
            print(f"ok: {what}")
            return
        failures += 1
        print(f"FAILED: {what}: exit status {got_status} (expected {status})")
        for line in got:
            print(f"  got      {line}")
        for line in lines:
            print(f"  expected {line}")

    user = lambda severity: USER + severity
    expect("a run: its start, each update before and after, and its end", ["info.txt"], 3, [
        (user(NOTICE), f"run in {work} with the info file info.txt"),
        (user(NOTICE), "adapter 1, ID 0x1111, Alpha: updating with a.bin"),
        (user(NOTICE), "adapter 1, ID 0x1111: updated, exit code 0"),
        (user(NOTICE), "adapter 2, ID 0x2222, Beta: updating with b.bin"),
        (user(ERR), "adapter 2, ID 0x2222: update failed, exit code 3"),
        (user(ERR), "failed, exit status 3; adapters: 1 updated, 1 failed, 1 not covered, 0 no id, "
                    "0 would update, 0 would fail, 0 unverified"),
    ])
    expect("a dry run: no update is logged", ["--dry-run", "info.txt"], 0, [
        (user(NOTICE), f"dry run in {work} with the info file info.txt"),
        (user(NOTICE), "would update, exit status 0; adapters: 0 updated, 0 failed, 1 not covered, 0 no id, "
                       "2 would update, 0 would fail, 0 unverified"),
    ])
    expect("a verified run: whether the adapter answers after its update", ["--verify", "info.txt"], 3, [
        (user(NOTICE), f"run in {work} with the info file info.txt"),
        (user(NOTICE), "adapter 1, ID 0x1111, Alpha: updating with a.bin"),
        (user(NOTICE), "adapter 1, ID 0x1111: updated, exit code 0"),
        (user(NOTICE), "adapter 1, ID 0x1111: answers with its ID after its update"),
        (user(NOTICE), "adapter 2, ID 0x2222, Beta: updating with b.bin"),
        (user(ERR), "adapter 2, ID 0x2222: update failed, exit code 3"),
        (user(ERR), "failed, exit status 3; adapters: 1 updated, 1 failed, 1 not covered, 0 no id, "
                    "0 would update, 0 would fail, 0 unverified"),
    ])
    expect("a refused run", ["missing.txt"], 231, [
        (user(NOTICE), f"run in {work} with the info file missing.txt"),
        (user(ERR), "refused, exit status 231; adapters: 0 updated, 0 failed, 0 not covered, 0 no id, "
                    "0 would update, 0 would fail, 0 unverified"),
    ])
    subprocess.run("sha256sum a.bin b.bin > SUMS", shell=True, cwd=work, check=True)
    digest = open(os.path.join(work, "SUMS")).read()[:64]
    expect("verified packages: the digest with the update", ["--checksums", "SUMS", "info.txt"], 3, [
        (user(NOTICE), f"run in {work} with the info file info.txt"),
        (user(NOTICE), f"adapter 1, ID 0x1111, Alpha: updating with a.bin, SHA-256 {digest}"),
        (user(NOTICE), "adapter 1, ID 0x1111: updated, exit code 0"),
        (user(NOTICE), "adapter 2, ID 0x2222, Beta: updating with b.bin, SHA-256 "
                       + open(os.path.join(work, "SUMS")).read().splitlines()[1][:64]),
        (user(ERR), "adapter 2, ID 0x2222: update failed, exit code 3"),
        (user(ERR), "failed, exit status 3; adapters: 1 updated, 1 failed, 1 not covered, 0 no id, "
                    "0 would update, 0 would fail, 0 unverified"),
    ])
    expect("a usage error logs nothing", ["info.txt", "debug"], 1, [])
    if failures:
        print(f"{failures} check(s) failed")
        sys.exit(1)
    print("all checks passed")


if __name__ == "__main__":
    main()
