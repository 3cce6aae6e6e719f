"""pyserial on the bridge's terminal, with a loopback plug at the far end: the script changes the rate
and the format several times, and each change reaches the adapter's UART model (the bridge reports
what the model decoded); bytes written come back intact, at the new rate; the output and input
flushes become PurgeComm and the port works on afterwards."""
import sys
import time

from bridge import Bridge, need, tarvelcom_from_arguments

try:
    import serial
except ImportError:
    print("skipped: no pyserial for " + sys.executable + " (scripts/deps.sh installs python3-serial)")
    sys.exit(77)

# (pyserial settings, what the adapter's UART must show). A pseudo-terminal carries no character size
# or parity (Linux keeps 8 bits, no parity), so the format changes are stop bits and flow control.
CHANGES = [
    (dict(baudrate=9600, stopbits=serial.STOPBITS_ONE, rtscts=False, xonxoff=False), "9600 baud, 8N1"),
    (dict(baudrate=38400, stopbits=serial.STOPBITS_TWO, rtscts=True, xonxoff=False), "38400 baud, 8N2, RTS/CTS"),
    (dict(baudrate=19200, stopbits=serial.STOPBITS_ONE, rtscts=False, xonxoff=True), "19200 baud, 8N1, XON/XOFF"),
    (dict(baudrate=115200, stopbits=serial.STOPBITS_TWO, rtscts=False, xonxoff=False), "115200 baud, 8N2"),
]


def printable(n, seed):
    return bytes(0x20 + (i * 7 + seed) % 95 for i in range(n))


def round_trip(port, data, what):
    started = time.monotonic()
    port.write(data)
    port.flush()
    got = port.read(len(data))
    assert got == data, f"{what}: {len(got)} of {len(data)} bytes came back" + (
        "" if len(got) < len(data) else ", but different")
    return time.monotonic() - started


def main():
    tarvelcom = tarvelcom_from_arguments()
    with Bridge(tarvelcom) as bridge:
        port = serial.Serial(bridge.app, 115200, timeout=5, write_timeout=5)
        for n, (settings, uart) in enumerate(CHANGES):
            port.apply_settings(settings)
            data = printable(400, n)
            seconds = round_trip(port, data, uart)
            bridge.uart_shows(uart)
            # Virtual time cannot run ahead of real time while the bridge runs: at the adapter's rate the
            # bytes take at least this long on the line (a slower machine only takes longer).
            bits = 1 + 8 + settings["stopbits"]
            line_time = len(data) * bits / settings["baudrate"]
            assert seconds >= 0.9 * line_time, f"{uart}: {seconds:.3f} s for {line_time:.3f} s of line time"
            print(f"{uart}: {len(data)} bytes back in {seconds:.3f} s ({line_time:.3f} s of line time)")

        # Output flush: a long write at 9600 baud (about 2 s on the line) is cut short.
        port.apply_settings(CHANGES[0][0])
        bridge.uart_shows(CHANGES[0][1])
        long = printable(2000, 9)
        port.write(long)
        first = port.read(20)
        assert first == long[:20], "the long write did not start"
        port.reset_output_buffer()
        bridge.wait_for(r"flush \.* of the terminal's output: PurgeComm\(TXABORT \| TXCLEAR\)$", 5)
        port.timeout = 1
        rest = b""
        while True:
            more = port.read(4096)
            if not more:
                break
            rest += more
        assert len(first) + len(rest) < len(long), "the output flush did not stop the write"
        assert long.startswith(first + rest), "what came back before the flush is not the start of the write"
        print(f"output flush: {len(first) + len(rest)} of {len(long)} bytes went out before it")

        # Input flush: bytes that came back and were not read are dropped.
        port.timeout = 5
        port.write(printable(100, 10))
        deadline = time.monotonic() + 5
        while port.in_waiting < 100 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert port.in_waiting == 100, f"{port.in_waiting} of 100 bytes came back to be flushed"
        port.reset_input_buffer()
        bridge.wait_for(r"flush \.* of the terminal's input: PurgeComm\(RXABORT \| RXCLEAR\)$", 5)
        port.timeout = 0.5
        assert port.read(4096) == b"", "bytes came back after the input flush"

        # The port works on after both flushes.
        port.timeout = 5
        round_trip(port, printable(300, 11), "after the flushes")
        port.close()
    print("PASS")


if __name__ == "__main__":
    main()
