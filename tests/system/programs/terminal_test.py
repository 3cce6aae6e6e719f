"""A terminal program (socat or picocom, the second argument) opens the bridge's terminal at a rate of
its own and exchanges a line with a device at the far end (a script on the far side's terminal, which
answers each line it gets). The rate the program sets reaches the adapter's UART."""
import os
import select
import subprocess
import sys
import threading
import time

from bridge import Bridge, need, tarvelcom_from_arguments

# The program's command line for the terminal at path, and the adapter's UART it leads to.
PROGRAMS = {
    "socat": (lambda path: ["socat", "-t", "0.5", "STDIO", path + ",rawer,b38400"], "38400 baud, 8N1"),
    "picocom": (lambda path: ["picocom", "--quiet", "--baud", "19200", "--exit-after", "1500", path],
                "19200 baud, 8N1"),
}


class Device(threading.Thread):
    """The far end: reads lines and answers each with 'pong: <line>'."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        self.lines = []
        self.stopping = False

    def run(self):
        pending = b""
        while not self.stopping:
            if not select.select([self.fd], [], [], 0.05)[0]:
                continue
            pending += os.read(self.fd, 4096)
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                self.lines.append(line + b"\n")
                os.write(self.fd, b"pong: " + line + b"\n")

    def stop(self):
        self.stopping = True
        self.join(5)
        os.close(self.fd)


def main():
    tarvelcom = tarvelcom_from_arguments()
    program = sys.argv[2] if len(sys.argv) > 2 else "socat"
    command, uart = PROGRAMS[program]
    need(program)
    line = f"hello from {program} through tarvelport and tarvelpipe\n".encode()
    with Bridge(tarvelcom, far_pty=True) as bridge:
        device = Device(bridge.far)
        device.start()
        terminal = subprocess.Popen(command(bridge.app), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
        try:
            terminal.stdin.write(line)
            terminal.stdin.flush()
            answer = b""
            deadline = time.monotonic() + 20
            while not answer.endswith(b"\n") and time.monotonic() < deadline:
                if select.select([terminal.stdout], [], [], 0.1)[0]:
                    more = os.read(terminal.stdout.fileno(), 4096)
                    if not more:
                        break
                    answer += more
            terminal.stdin.close()
            code = terminal.wait(10)
        finally:
            if terminal.poll() is None:
                terminal.kill()
                terminal.wait()
            device.stop()
        errors = terminal.stderr.read().decode(errors="replace")
        assert device.lines == [line], f"the device got {device.lines!r}"
        assert answer == b"pong: " + line, f"{program} got {answer!r}; its errors: {errors}"
        assert code == 0, f"{program} exited with {code}: {errors}"
        bridge.uart_shows(uart)
    print("PASS")


if __name__ == "__main__":
    main()
