#!/usr/bin/env python3
"""The Windows build's smoke suite under wine.

    tests/windows/smoke.py ZIP            run every case
    tests/windows/smoke.py --skip REASON  name every case as skipped, with the reason

The zip is unpacked into a temporary folder and marqtest.exe runs from there, so a library
missing from the zip fails the cases. Everything runs on its own Xvfb display in a private wine
prefix, build/windows/wine. Its only serial ports are COM5 and COM120, pseudo-terminals that
this suite holds; every other COM link that wine makes to this machine's devices is pointed at
nothing before each case, so no case can reach a real port. Each case prints PASS, FAIL or SKIPPED with
its name; the suite fails when one fails.
"""

import os
import re
import select
import socket
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
OUT = ROOT / "build" / "windows"
PREFIX = OUT / "wine"
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
CASE_SECONDS = 60
# How long after its --for time a scripted run has ended under wine: the window closes and wine
# ends the process (about 2 s here, with or without a serial line).
RUN_ENDS_WITHIN = 4.0

# What the window's two buttons put on the line, carriage return included.
BLANK_LINE = b"          :  .  .     \r"
ALL_DIGITS_LINE = b"        88:88:88.888  \r"

CASES = ["version", "manifest", "help", "console-exit-status", "udp-blank", "serial-all-digits",
         "serial-com120", "serial-loopback", "serial-far-end-closed", "german-text", "german-text-piped",
         "wide-argument", "ticks-19200", "window"]
# Our own ports: wine links each to a link of ours, which a case points at a pseudo-terminal.
OUR_PORTS = ("COM5", "COM120")
# Actual Time's interval at 19200 baud, in milliseconds.
TICK_19200_MS = 13


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(marqtest VERSION ([0-9.]+)", text).group(1)


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Wine:
    """A wine session in the private prefix, kept up from start() to stop()."""

    def __init__(self):
        # Quiet, but for a library that cannot be loaded: that names what the zip lacks.
        self.env = dict(os.environ, WINEPREFIX=str(PREFIX), WINEDEBUG="-all,err+module",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.dosdevices = PREFIX / "dosdevices"
        self.ports = PREFIX / "marq-ports"
        self.nothing = self.ports / "nothing"

    def run(self, args, cwd=None, timeout=CASE_SECONDS):
        # Into files, not pipes: the session's own processes that the first program starts
        # inherit its output and would keep a pipe open after it ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run([WINE, *args], cwd=cwd, env=self.env, stdout=out,
                                    stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            result.stdout, result.stderr = out.read(), err.read()
        return result

    def start(self):
        if not (PREFIX / "system.reg").exists():
            started = time.monotonic()
            self.run(["wineboot", "-i"], timeout=300).check_returncode()
            subprocess.run([WINESERVER, "-w"], env=self.env, timeout=60)
            print(f"wine prefix made in {time.monotonic() - started:.1f} s")
        self.ports.mkdir(exist_ok=True)
        for port in OUR_PORTS:
            self.point_at(port, self.nothing)
        # Wine links COM numbers to the machine's ttyS, ttyUSB and ttyACM devices when a session
        # starts; ours it links to our own links instead, once the prefix says so.
        started = time.monotonic()
        self.stop()
        self.forget_ports()
        self.serve()
        mapped = self.run(["reg", "query", r"HKLM\Software\Wine\Ports"]).stdout.decode(errors="replace")
        missing = [port for port in OUR_PORTS if str(self.ports / port) not in mapped]
        if missing:
            for port in missing:
                self.run(["reg", "add", r"HKLM\Software\Wine\Ports", "/v", port, "/d",
                          str(self.ports / port), "/f"]).check_returncode()
            self.stop()
            self.forget_ports()
            self.serve()
            self.run(["reg", "query", r"HKLM\Software\Wine\Ports"])
        self.hide_other_ports()
        print(f"wine session up in {time.monotonic() - started:.1f} s")

    def serve(self):
        # The server outlives this suite's own output: its shutdown report goes nowhere.
        subprocess.run([WINESERVER, "-p"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60, check=True)

    def stop(self):
        for option in ("-k", "-w"):
            subprocess.run([WINESERVER, option], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)

    def point_at(self, port, target):
        link = self.ports / port
        link.unlink(missing_ok=True)
        link.symlink_to(target)

    def com_links(self):
        return [link for link in self.dosdevices.iterdir()
                if re.fullmatch(r"com\d+", link.name, re.IGNORECASE)]

    def forget_ports(self):
        """With no session running: a COM5 link seen later is the new session's."""
        for link in self.com_links():
            link.unlink()

    def hide_other_ports(self):
        """Points every COM link but ours at nothing; a port opened there does nothing."""
        for port in OUR_PORTS:
            link = self.dosdevices / port.lower()
            deadline = time.monotonic() + 10
            while not link.is_symlink():
                check(time.monotonic() < deadline, f"wine made no {port} link")
                time.sleep(0.05)
            check(os.readlink(link) == str(self.ports / port),
                  f"wine's {port} leads to {os.readlink(link)}")
        ours = [port.lower() for port in OUR_PORTS]
        others = [link for link in self.com_links() if link.name.lower() not in ours]
        for link in others:
            link.unlink()
            link.symlink_to(self.nothing)
        reachable = [link.name for link in others if link.exists()]
        check(not reachable, f"{', '.join(reachable)} still lead to a device")


class Suite:
    def __init__(self, folder, wine):
        self.folder = folder
        self.exe = str(folder / "marqtest.exe")
        self.wine = wine
        self.version = project_version()

    def marqtest(self, *args, timeout=CASE_SECONDS):
        self.wine.hide_other_ports()
        result = self.wine.run([self.exe, *args], cwd=self.folder, timeout=timeout)
        return (result.returncode, result.stdout.decode(errors="replace").replace("\r\n", "\n"),
                result.stderr.decode(errors="replace"))

    def case_version(self):
        started = time.monotonic()
        code, out, err = self.marqtest("--version")
        check(code == 0, f"exit status {code}: {err.strip()}")
        check(out.splitlines()[:1] == [f"marqtest {self.version}"], f"printed {out!r}")
        return f"{time.monotonic() - started:.1f} s"

    def case_help(self):
        code, out, err = self.marqtest("--help")
        check(code == 0, f"exit status {code}: {err.strip()}")
        check(out.startswith("Usage: marqtest"), f"printed {out[:200]!r}")
        for option in ("--port <COMn>", "--udp <HOST:PORT>", "--for <SECONDS>"):
            check(option in out, f"the help names no {option}")

    def case_udp_blank(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as listener:
            listener.bind(("127.0.0.1", 0))
            port = listener.getsockname()[1]
            code, _, err = self.marqtest("--udp", f"127.0.0.1:{port}", "--start", "blank",
                                         "--for", "0")
            check(code == 0, f"exit status {code}: {err.strip()}")
            # Loopback datagrams are queued by the time the sender has returned from sending.
            listener.setblocking(False)
            datagrams = []
            while True:
                try:
                    datagrams.append(listener.recv(65536))
                except BlockingIOError:
                    break
        check(datagrams == [BLANK_LINE], f"received {datagrams!r}")

    def serial_run(self, port, *args, seconds=CASE_SECONDS, echo=False):
        """Runs the program with `port` led to a pseudo-terminal (whose far end sends back what
        it gets, with `echo`, as a jumper between TX and RX does); returns its exit status,
        standard output and error, and the reader that saw the far end."""
        master, slave = os.openpty()
        reader = PtyReader(master, echo)
        try:
            self.wine.point_at(port, os.ttyname(slave))
            reader.start()
            code, out, err = self.marqtest("--port", port, *args, timeout=seconds)
        finally:
            reader.finish()
            self.wine.point_at(port, self.wine.nothing)
            os.close(master)
            os.close(slave)
        return code, out, err, reader

    def case_serial_all_digits(self):
        code, _, err, reader = self.serial_run("COM5", "--baud", "9600", "--start", "all-digits",
                                               "--for", "0")
        check(code == 0, f"exit status {code}: {err.strip()}")
        check(reader.received == ALL_DIGITS_LINE, f"the line carried {reader.received!r}")

    def case_serial_com120(self):
        """A port above COM99, as Windows numbers ports up to COM4096."""
        code, _, err, reader = self.serial_run("COM120", "--start", "all-digits", "--for", "0")
        check(code == 0, f"exit status {code}: {err.strip()}")
        check(reader.received == ALL_DIGITS_LINE, f"the line carried {reader.received!r}")

    def case_serial_loopback(self):
        """The loopback check through a jumper: every byte back intact, exit status 0."""
        code, out, err, _ = self.serial_run("COM5", "--baud", "19200", "--check", "loopback",
                                            echo=True)
        check(code == 0, f"exit status {code}: {out.strip()} {err.strip()}")
        intact = [line for line in out.splitlines() if "back intact" in line]
        check(intact and "changed: 0, missing: 0" in intact[0], f"the check said {out.strip()!r}")
        return intact[0]

    def far_end_closed(self, env, exe="marqtest.exe", encoding="cp1252"):
        """Closes the pseudo-terminal's far end during Actual Time, as an adapter is pulled
        out; returns the exit status, the reasons on standard error (in the given 8-bit
        encoding, as a program reading the redirect takes them) and when the run ended. The
        window program writes a file; the console program a pipe."""
        piped = exe != "marqtest.exe"
        master, slave = os.openpty()
        reader = PtyReader(master)
        program = None
        console, terminal = in_console() if piped else ({}, ())
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                self.wine.point_at("COM5", os.ttyname(slave))
                self.wine.hide_other_ports()
                reader.start()
                program = subprocess.Popen(
                    [WINE, str(self.folder / exe), "--port", "COM5", "--start", "actual-time",
                     "--for", "5"], cwd=self.folder, env=env, stdout=out,
                    stderr=subprocess.PIPE if piped else err, **console)
                piped_err = PipeReader(program.stderr) if piped else None

                def lines(count):
                    check(program.poll() is None, f"the program ended with exit status "
                          f"{program.returncode} before the far end closed")
                    return reader.received.count(b"\r") >= count

                # The run's 5 seconds start with Actual Time's first line.
                wait_for(lambda: lines(1), "no line of Actual Time arrived")
                started = time.monotonic()
                wait_for(lambda: lines(3), "Actual Time stopped before the far end closed")
                reader.finish()
                os.close(master)
                os.close(slave)
                master = slave = None
                program.wait(timeout=CASE_SECONDS)
                ended = time.monotonic() - started
            finally:
                if program and program.poll() is None:
                    program.kill()
                    program.wait(timeout=30)
                if master is not None:
                    reader.finish()
                for fd in (master, slave, *terminal):
                    if fd is not None:
                        os.close(fd)
                self.wine.point_at("COM5", self.wine.nothing)
            err.seek(0)
            text = piped_err.finish() if piped else err.read()
            reasons = [line.strip() for line in text.decode(encoding, errors="replace")
                       .splitlines() if line.strip()]
        return program.returncode, reasons, ended

    def case_serial_far_end_closed(self):
        code, reasons, ended = self.far_end_closed(self.wine.env)
        check(code == 1, f"exit status {code}: {reasons}")
        # The driver's own reason, once: wine's serial driver says ERROR_NOT_READY when the far
        # end has gone, and the port counts it as a device gone.
        check(reasons == ["marqtest: Not ready"], f"the reasons given: {reasons}")
        # As long as a run whose far end stays: the window closing waits for nothing that went.
        check(ended <= 5 + RUN_ENDS_WITHIN, f"the program ended {ended:.1f} s into its 5 s run")
        return f"{reasons[0]!r}, ended {ended:.1f} s into its 5 s run"

    def case_german_text(self):
        """The system's own text in German, from the message table to the redirected standard
        error (code page 1252 on a German Windows)."""
        code, reasons, _ = self.far_end_closed(dict(self.wine.env, LANG="de_DE.UTF-8",
                                                    LC_ALL="de_DE.UTF-8"))
        check(code == 1, f"exit status {code}: {reasons}")
        check(reasons == ["marqtest: Nicht bereit"], f"the reasons given: {reasons}")
        return repr(reasons[0])

    def case_german_text_piped(self):
        """The same through a pipe from the console program, as cmd and PowerShell read it: in
        the console's code page (850 on a German Windows), not the ANSI one."""
        code, reasons, _ = self.far_end_closed(dict(self.wine.env, LANG="de_DE.UTF-8",
                                                    LC_ALL="de_DE.UTF-8"),
                                               exe="marqtest-cli.exe", encoding="cp850")
        check(code == 1, f"exit status {code}: {reasons}")
        # With a console Qt reports what wine lacks (DPI calls) on standard error too.
        ours = [reason for reason in reasons if reason.startswith("marqtest:")]
        check(ours == ["marqtest: Nicht bereit"], f"the reasons given: {reasons}")
        return repr(ours[0])

    def case_wide_argument(self):
        """An argument the ANSI code page cannot spell ("α" is not in 1252, but in the
        console's 437) arrives intact and is named so in the refusal. (In a locale this machine
        has, so that wine reads the argument itself right.)"""
        env = dict(self.wine.env, LANG="C.UTF-8", LC_ALL="C.UTF-8")
        self.wine.hide_other_ports()
        console, terminal = in_console()
        try:
            program = subprocess.Popen([WINE, str(self.folder / "marqtest-cli.exe"), "--start",
                                        "Prüfbild-α"], cwd=self.folder, env=env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                       **console)
            err = PipeReader(program.stderr)
            code = program.wait(timeout=CASE_SECONDS)
            text = err.finish().decode("cp437", errors="replace")
        finally:
            for fd in terminal:
                os.close(fd)
        check(code == 2, f"exit status {code}: {text.strip()}")
        check("--start Prüfbild-α:" in text, f"printed {text.strip()!r}")
        return text.splitlines()[0].strip()

    def case_ticks_19200(self):
        """The spacing of Actual Time's lines at 19200 baud, one every 13 ms: a figure only."""
        code, _, err, reader = self.serial_run("COM5", "--baud", "19200", "--start", "actual-time",
                                               "--for", "3")
        check(code == 0, f"exit status {code}: {err.strip()}")
        times = reader.line_times
        check(len(times) >= 10, f"{len(times)} lines arrived")
        gaps = sorted((b - a) * 1000 for a, b in zip(times, times[1:]))
        span = times[-1] - times[0]

        def at(share):
            return gaps[min(len(gaps) - 1, int(share * len(gaps)))]

        return (f"{len(times)} lines, {(len(times) - 1) / span:.1f} per s "
                f"(due {1000 / TICK_19200_MS:.1f}); gap median {at(0.5):.1f} ms, "
                f"p90 {at(0.9):.1f} ms, worst {gaps[-1]:.1f} ms")

    def case_manifest(self):
        """The application manifest Windows reads before the program starts."""
        for exe in ("marqtest.exe", "marqtest-cli.exe"):
            data = (self.folder / exe).read_bytes()
            for entry in (b"PerMonitorV2", b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
                          b"<longPathAware", b'level="asInvoker"'):
                check(entry in data, f"{exe} carries no manifest with {entry.decode()}")

    def case_console_exit_status(self):
        """The console companion as a script uses it: cmd waits for it, its output comes in
        order, and its exit status reaches %ERRORLEVEL%."""
        script = self.folder / "status.bat"
        script.write_text("@echo off\r\n"
                          "marqtest-cli.exe --version\r\n"
                          "echo after version: %ERRORLEVEL%\r\n"
                          "marqtest-cli.exe --start no-such-test\r\n"
                          "echo after a bad option: %ERRORLEVEL%\r\n")
        self.wine.hide_other_ports()
        result = self.wine.run(["cmd", "/c", "status.bat"], cwd=self.folder)
        out = result.stdout.decode(errors="replace").replace("\r\n", "\n")
        lines = [line for line in out.splitlines() if line.strip()]
        expected_start = [f"marqtest {self.version}"]
        check(lines[:1] == expected_start, f"printed {out!r}")
        check("after version: 0" in lines and "after a bad option: 2" in lines,
              f"printed {out!r}")
        check(lines.index("after version: 0") < lines.index("after a bad option: 2"),
              f"printed {out!r}")
        return "after --version 0, after a bad option 2"

    def case_window(self):
        self.wine.hide_other_ports()
        program = subprocess.Popen([WINE, self.exe], cwd=self.folder, env=self.wine.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            started = time.monotonic()

            def window_shown():
                check(program.poll() is None, f"the program ended with exit status "
                      f"{program.returncode} before its window appeared")
                return xdotool("search", "--onlyvisible", "--name", "Testprogram")

            window = wait_for(window_shown, "no window appeared")
            shown = time.monotonic() - started
            window = window.split()[0]
            title = xdotool("getwindowname", window)
            check(self.version in title, f"the caption {title!r} carries no version")
            picture = OUT / "marqtest-wine.png"

            def painted():
                subprocess.run(["import", "-window", window, str(picture)], timeout=30,
                               capture_output=True)
                colours = subprocess.run(["identify", "-format", "%k", str(picture)],
                                         capture_output=True, text=True, timeout=30).stdout
                return colours.isdigit() and int(colours) > 16

            wait_for(painted, "the window stayed blank")
            return f"shown in {shown:.1f} s, {picture.relative_to(ROOT)}"
        finally:
            program.kill()
            program.wait(timeout=30)


class PtyReader(threading.Thread):
    """Reads the far end of the pseudo-terminal while the program runs, and what is left after.

    The slave stays open here too, so the line does not hang up when the program closes it.
    """

    def __init__(self, master, echo=False):
        super().__init__(daemon=True)
        self.master = master
        self.echo = echo
        self.received = b""
        # When each line's carriage return arrived.
        self.line_times = []
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            self.read(0.1)

    def read(self, seconds):
        while select.select([self.master], [], [], seconds)[0]:
            try:
                chunk = os.read(self.master, 4096)
            except OSError:
                return
            self.received += chunk
            if self.echo:
                os.write(self.master, chunk)
            self.line_times += [time.monotonic()] * chunk.count(b"\r")

    def finish(self):
        self.done.set()
        if self.is_alive():
            self.join(timeout=10)
        self.read(0)


def in_console():
    """Popen's arguments for a program started from a console window, as from a prompt: wine
    gives it a console (code page 850 in a German locale) when it starts on a terminal of its
    own; and the terminal's two ends, to close once the program has ended."""
    master, terminal = os.openpty()
    return {"stdin": terminal, "start_new_session": True}, (master, terminal)


class PipeReader(threading.Thread):
    """Reads a pipe the program writes, until it ends or a moment after the program has: wine's
    own processes may hold it open."""

    def __init__(self, pipe):
        super().__init__(daemon=True)
        self.pipe = pipe
        self.data = b""
        self.start()

    def run(self):
        while chunk := os.read(self.pipe.fileno(), 4096):
            self.data += chunk

    def finish(self):
        self.join(timeout=2)
        return self.data


def xdotool(*args):
    result = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=30)
    return result.stdout.strip() if result.returncode == 0 else ""


def wait_for(condition, message, seconds=CASE_SECONDS):
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        check(time.monotonic() < deadline, message)
        time.sleep(0.2)


def report(verdict, case, detail=""):
    print(f"{verdict:8} windows {case}" + (f": {detail}" if detail else ""), flush=True)


def run(zip_path):
    wine = Wine()
    failed = False
    with tempfile.TemporaryDirectory(prefix="marqtest-windows-") as temporary:
        with zipfile.ZipFile(zip_path) as archive:
            archive.extractall(temporary)
        folders = list(Path(temporary).iterdir())
        check(len(folders) == 1, "the zip holds more than one folder")
        try:
            wine.start()
            suite = Suite(folders[0], wine)
            for case in CASES:
                try:
                    detail = getattr(suite, "case_" + case.replace("-", "_"))()
                    report("PASS", case, detail or "")
                except subprocess.TimeoutExpired:
                    failed = True
                    report("FAIL", case, f"no end within {CASE_SECONDS} s")
                except Failure as failure:
                    failed = True
                    report("FAIL", case, str(failure))
        finally:
            wine.stop()
    return 1 if failed else 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--skip":
        for case in CASES:
            report("SKIPPED", case, sys.argv[2])
        return 0
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    if "MARQ_SMOKE_DISPLAY" not in os.environ:
        # A display of our own: the window case needs one, and wine's windows stay off the
        # desktop of whoever runs the suite.
        os.environ["MARQ_SMOKE_DISPLAY"] = "1"
        return subprocess.run(["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24",
                               sys.executable, *sys.argv]).returncode
    try:
        return run(sys.argv[1])
    except (Failure, subprocess.SubprocessError, OSError) as error:
        report("FAIL", "setup", str(error))
        return 1


if __name__ == "__main__":
    sys.exit(main())
