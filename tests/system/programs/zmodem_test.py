"""ZMODEM through both drivers: sz on one terminal of the bridge sends a 128 KiB file of random bytes
to rz on the other, at 115200 baud; the file arrives byte for byte and both programs exit 0. Then the
other way round. Prints the transfer's throughput against the line rate.

sz ends only once rz has taken the whole file and answered the session's end (ZFIN), so the time to
sz's exit is the file's. sz then sends "OO", drains and flushes its terminal; a pseudo-terminal's drain
does not wait, and its flush may drop the "OO" before anything outside the kernel could read it (see
PseudoTerminal.ADrainDoesNotWaitForTheMasterAndAFlushDropsWhatItHasNotTaken). rz then waits for it
three times ten seconds and exits 0 all the same: its limit allows for that."""
import os
import subprocess
import sys
import time

from bridge import Bridge, need, tarvelcom_from_arguments

SIZE = 128 * 1024
BAUD = 115200
LINE_RATE = BAUD / 10  # bytes a second at 8N1
SZ_LIMIT = 40          # seconds for sz (about 12 s of line time)
RZ_AFTER_SZ = 35       # seconds for rz after sz: its wait for a lost "OO" is 3 x 10 s


def transfer(bridge, sender_tty, receiver_tty, name, data):
    sending = os.path.join(bridge.folder, "send-" + name)
    receiving = os.path.join(bridge.folder, "receive-" + name)
    os.mkdir(sending)
    os.mkdir(receiving)
    with open(os.path.join(sending, "random.bin"), "wb") as f:
        f.write(data)
    receiver_fd = os.open(receiver_tty, os.O_RDWR | os.O_NOCTTY)
    sender_fd = os.open(sender_tty, os.O_RDWR | os.O_NOCTTY)
    logs = {p: open(os.path.join(bridge.folder, f"{p}-{name}.log"), "w") for p in ("rz", "sz")}
    started = time.monotonic()
    rz = subprocess.Popen(["rz", "--binary", "--overwrite", "-vv"], cwd=receiving, stdin=receiver_fd,
                          stdout=receiver_fd, stderr=logs["rz"])
    sz = subprocess.Popen(["sz", "--zmodem", "--binary", "-vv", "random.bin"], cwd=sending, stdin=sender_fd,
                          stdout=sender_fd, stderr=logs["sz"])
    # The programs hold the terminals from here: when sz ends, nobody has its terminal open, and what rz
    # still sends there (its ZFIN again, for an "OO" the terminal lost) does not wait for the next session.
    os.close(receiver_fd)
    os.close(sender_fd)
    try:
        sz_code = sz.wait(SZ_LIMIT)
        file_seconds = time.monotonic() - started
        rz_code = rz.wait(RZ_AFTER_SZ)
    finally:
        for p in (sz, rz):
            if p.poll() is None:
                p.kill()
                p.wait()
        for f in logs.values():
            f.close()
    seconds = time.monotonic() - started

    def tail(program):
        with open(os.path.join(bridge.folder, f"{program}-{name}.log"), errors="replace") as f:
            return f.read()[-2000:]

    assert sz_code == 0, f"{name}: sz exited with {sz_code}\n{tail('sz')}"
    assert rz_code == 0, f"{name}: rz exited with {rz_code}\n{tail('rz')}"
    received = os.path.join(receiving, "random.bin")
    assert os.path.exists(received), f"{name}: rz wrote no file\n{tail('rz')}"
    with open(received, "rb") as f:
        got = f.read()
    assert got == data, f"{name}: the received file differs ({len(got)} bytes of {len(data)})"
    rate = SIZE / file_seconds
    print(f"{name}: {SIZE} bytes in {file_seconds:.2f} s = {rate:.0f} bytes/s, "
          f"{100 * rate / LINE_RATE:.1f}% of the line rate ({LINE_RATE:.0f} bytes/s at {BAUD} baud 8N1); "
          f"rz ended {seconds - file_seconds:.2f} s after sz"
          + (" (the closing \"OO\" was lost in the terminal)" if seconds - file_seconds > 5 else ""))
    return rate


def main():
    tarvelcom = tarvelcom_from_arguments()
    need("sz", "rz")
    data = os.urandom(SIZE)
    with Bridge(tarvelcom, "--baud", str(BAUD), far_pty=True) as bridge:
        transfer(bridge, bridge.app, bridge.far, "application-to-far-side", data)
        transfer(bridge, bridge.far, bridge.app, "far-side-to-application", os.urandom(SIZE))
        assert bridge.stop() == 0, "the bridge did not end cleanly"
        moved = bridge.wait_for(r"terminal to port \.* (\d+) bytes", 1)
        assert int(moved.group(1)) >= SIZE, "the bridge did not carry the whole file to the port"
        assert "lost: no program read" not in bridge.report(), "bytes were lost on the far side"
    print("PASS")


if __name__ == "__main__":
    main()
