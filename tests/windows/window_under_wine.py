#!/usr/bin/env python3
"""Drives zelmo.exe under Wine on an X server of its own, as an operator would.

Real clicks and keys go through xdotool; the windows' controls are found by
their texts (wininfo.exe lists them with their places on the screen); the
lamps are read from the screen (xwd). COM1 of the Wine prefix reaches a
zelmo-sim pseudo-terminal of the native build, or a line nobody answers.

Cases:
  operator           command line "1", Start, a typed path in the file
                     dialog, six green lamps, Restart Receiver, the board
                     greets, the saved flash equals the file, Exit
  silent-line        at 120 dpi (the others at 96): Start, then Reset and Connect until the
                     fatal-error dialog, whose "Continue" ends the program
  exit-during-erase  ROM File first (the command line then starts the
                     sequence), "Exit" while the flash erases ends the
                     program at once
With --screenshots DIR the operator and silent-line cases also save the
windows as PNG pictures there. Exits 77 (skipped) when Xvfb, xdotool, xwd,
Wine or the native build are missing or cannot start.
"""
import argparse
import os
import pty
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xwd  # noqa: E402

GREETING = b"Hello from Zelmo! The new ROM is running."
# The main window's layout is drawn at 120 dpi; the lamps' places in it.
LAMP_CENTRES = [(20 + col + 10.5, 210 + row + 10.5) for col in (20, 250, 460) for row in (20, 60)]
GREEN, WHITE = (0, 128, 0), (255, 255, 255)


class Skip(Exception):
    pass


class Failure(Exception):
    pass


class Control:
    def __init__(self, fields, top):
        self.cls, visible, enabled, rect = fields[1], fields[2], fields[3], fields[4]
        self.visible, self.enabled = visible == "1", enabled == "1"
        self.x, self.y, self.w, self.h = map(int, rect.split())
        self.top = top
        if fields[0] == "top":
            self.client = tuple(map(int, fields[5].split()))
            self.text = fields[6] if len(fields) > 6 else ""
            self.children = []
        else:
            self.id = int(fields[5])
            self.focused = fields[6] == "1"
            self.text = fields[7] if len(fields) > 7 else ""

    def centre(self):
        return self.x + self.w // 2, self.y + self.h // 2


class Session:
    def __init__(self, args):
        self.args = args
        self.work = args.work
        self.prefix = args.prefix
        self.env = dict(os.environ)
        self.env["WINEPREFIX"] = self.prefix
        self.env["WINEDEBUG"] = "-all"
        self.procs = []
        self.xvfb = None
        self.zelmo = None
        self.log = []

    # --- set-up and tear-down ---------------------------------------------
    def start_x(self):
        for tool in ("Xvfb", "xdotool", "xwd"):
            if shutil.which(tool) is None:
                raise Skip("%s is not installed (scripts/setup installs it)" % tool)
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24",
                                      "-nolisten", "tcp"], pass_fds=(write,),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        deadline = time.time() + 10
        while time.time() < deadline and not number.endswith(b"\n"):
            chunk = os.read(read, 16)
            if not chunk:
                break
            number += chunk
        os.close(read)
        if not number.strip():
            raise Skip("Xvfb cannot start")
        self.display = ":" + number.decode().strip()
        self.env["DISPLAY"] = self.display
        self.env["ZELMO_WINE_DISPLAY"] = self.display
        # Out of the way before any window shows, so that no control shows
        # its pointer-over look or tooltip.
        self.xdotool("mousemove", "1023", "767")

    def wine(self, *argv, check=True):
        # Into files, not pipes: the Wine session's own processes, started
        # by the first program, would hold a pipe open long after.
        out_path = os.path.join(self.work, "wine.out")
        err_path = os.path.join(self.work, "wine.err")
        with open(out_path, "w") as out, open(err_path, "w") as err:
            try:
                rc = subprocess.run([self.args.wine_run, self.prefix, *argv], env=self.env, cwd=self.work,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=120).returncode
            except subprocess.TimeoutExpired:
                raise Failure("%s did not end within 120 s" % " ".join(argv))
        with open(out_path) as f:
            output = f.read()
        with open(err_path) as f:
            errors = f.read().strip()
        if rc == 77:
            raise Skip(errors or "Wine cannot start")
        if check and rc != 0:
            raise Failure("%s exited with %d: %s" % (" ".join(argv), rc, errors))
        return output

    def stop_wine(self):
        server = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
        subprocess.run([server, "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([server, "-w"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=30)

    def prepare_prefix(self, dpi, com1):
        """Wine draws the frames itself (there is no window manager), at
        dpi, and its COM1 reaches the device com1."""
        # A session left by an earlier case speaks to an X server gone.
        if os.path.isdir(self.prefix):
            self.stop_wine()
        # The session's start maps the ports anew from Wine's Ports list (a
        # link made by hand in dosdevices would give way to /dev/ttyS0). One
        # Wine start for all three, which also makes the prefix on first use.
        settings = os.path.join(self.work, "settings.reg")
        with open(settings, "w") as f:
            f.write('REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Managed"="N"\n\n'
                    '[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n"LogPixels"=dword:%08x\n\n'
                    '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"COM1"="%s"\n' % (dpi, com1))
        self.wine("regedit", "/s", "Z:" + settings.replace("/", "\\"))
        self.stop_wine()
        self.dpi = dpi
        roms = os.path.join(self.prefix, "drive_c", "roms")
        os.makedirs(roms, exist_ok=True)
        return roms

    def start_sim(self, *options):
        """Starts zelmo-sim; returns it and its pseudo-terminal."""
        sim = os.path.join(self.args.native, "sim", "zelmo-sim")
        out_path = os.path.join(self.work, "sim.out")
        out = open(out_path, "w")
        err = open(os.path.join(self.work, "sim.err"), "w")
        p = subprocess.Popen([sim, *options], stdout=out, stderr=err, cwd=self.work)
        self.procs.append(p)

        def device():
            with open(out_path) as f:
                line = f.readline()
            return line.strip() if line.endswith("\n") else None
        return p, self.wait_for(device, 10, "zelmo-sim's pseudo-terminal")

    def silent_line(self):
        """A pseudo-terminal whose other end reads everything and says
        nothing; returns its device."""
        master, slave = pty.openpty()

        def drain():
            try:
                while os.read(master, 4096):
                    pass
            except OSError:
                pass
        threading.Thread(target=drain, daemon=True).start()
        self.pty = (master, slave)
        return os.ttyname(slave)

    def start_zelmo(self, *argv):
        self.zelmo_log = open(os.path.join(self.work, "zelmo.log"), "w")
        self.zelmo = subprocess.Popen([self.args.wine_run, self.prefix, self.args.zelmo, *argv], env=self.env,
                                      cwd=self.work, stdout=self.zelmo_log, stderr=subprocess.STDOUT)
        self.procs.append(self.zelmo)

    def finish(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGINT)
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
        if os.path.isdir(self.prefix):
            self.stop_wine()
        if self.xvfb is not None:
            self.xvfb.terminate()
            self.xvfb.wait()

    # --- looking and acting -------------------------------------------------
    def windows(self):
        tops = []
        for line in self.wine(self.args.wininfo).splitlines():
            fields = line.split("\t")
            if fields[0] == "top":
                tops.append(Control(fields, None))
            elif fields[0] == "child" and tops:
                tops[-1].children.append(Control(fields, tops[-1]))
        return tops

    def window(self, cls, tops=None):
        for w in tops if tops is not None else self.windows():
            if w.cls == cls and w.visible:
                return w
        return None

    def control(self, cls, text, tops=None):
        w = self.window(cls, tops)
        if w is None:
            return None
        for c in w.children:
            if c.text == text:
                return c
        return None

    def wait_for(self, predicate, seconds, what):
        deadline = time.time() + seconds
        while time.time() < deadline:
            value = predicate()
            if value:
                return value
            if self.zelmo is not None and self.zelmo.poll() is not None:
                raise Failure("zelmo.exe ended (%d) while waiting for %s" % (self.zelmo.returncode, what))
            time.sleep(0.2)
        raise Failure("no %s within %d s; the windows show:\n%s" % (what, seconds, self.describe()))

    def describe(self):
        lines = []
        for w in self.windows():
            lines.append("  %s %r enabled=%s" % (w.cls, w.text, w.enabled))
            for c in w.children:
                if c.text and c.cls in ("Edit", "Static", "msctls_progress32"):
                    lines.append("    %s %r" % (c.cls, c.text))
        return "\n".join(lines)

    def xdotool(self, *argv):
        subprocess.run(["xdotool", *argv], env=self.env, check=True)

    def click(self, cls, text):
        c = self.wait_for(lambda: self.control(cls, text), 20, "%r in %s" % (text.strip(), cls))
        if not c.enabled:
            raise Failure("%r is disabled" % text)
        x, y = c.centre()
        self.xdotool("mousemove", str(x), str(y), "click", "1", "mousemove", "1023", "767")
        self.log.append("clicked %r" % text.strip())

    def focus(self, cls):
        w = self.window(cls)
        focused = [c for c in w.children if c.focused] if w else []
        return focused[0] if focused else None

    def focus_text(self, cls):
        c = self.focus(cls)
        return c.text if c else None

    def key(self, name, cls, expect_focus):
        """Presses a key; the focus must then be on the control reading
        expect_focus (None: nothing to check)."""
        self.xdotool("key", name)
        self.log.append("pressed %s" % name)
        if expect_focus is not None:
            self.wait_for(lambda: self.focus_text(cls) == expect_focus, 5,
                          "focus on %r after %s" % (expect_focus, name))

    def status(self, tops=None):
        main = self.window("TForm5", tops)
        memo = [c for c in main.children if c.cls == "Edit"] if main else []
        return memo[0].text if memo else None

    def wait_status(self, text, seconds):
        self.wait_for(lambda: self.status() == text, seconds, "status %r" % text)
        self.log.append("status %r" % text)

    def enabled(self, text):
        c = self.control("TForm5", text)
        return c is not None and c.enabled

    def screen(self):
        path = os.path.join(self.work, "screen.xwd")
        with open(path, "wb") as f:
            subprocess.run(["xwd", "-root", "-silent"], env=self.env, stdout=f, check=True)
        return xwd.Dump(path)

    def scale(self, v):
        return v * self.dpi / 120.0

    def lamps(self):
        main = self.window("TForm5")
        dump = self.screen()
        seen = []
        for cx, cy in LAMP_CENTRES:
            x = main.client[0] + int(self.scale(cx))
            y = main.client[1] + int(self.scale(cy))
            seen.append(dump.rgb(x, y))
        return seen

    def type_path(self, windows_path):
        self.wait_for(lambda: self.window("#32770"), 60, "file dialog")
        time.sleep(0.3)
        self.xdotool("type", "--delay", "15", windows_path)
        self.xdotool("key", "Return")
        self.wait_for(lambda: self.window("#32770") is None, 10, "file dialog to close")
        self.log.append("typed %s" % windows_path)

    def snapshot(self, name, cls):
        """Saves window cls as a PNG picture, read from its own X window:
        on a bare X server Wine's pixels of a window shown over another do
        not always reach the screen's own image."""
        if not self.args.screenshots:
            return
        w = self.window(cls)
        # Wine's X window of it: the one of the same place and size.
        tree = subprocess.run(["xwininfo", "-root", "-children"], env=self.env, stdout=subprocess.PIPE,
                              text=True, check=True).stdout
        place = "%dx%d+%d+%d" % (w.w, w.h, w.x, w.y)
        ids = [line.split()[0] for line in tree.splitlines() if place in line]
        if not ids:
            raise Failure("no X window at %s for %s" % (place, cls))
        # Wine takes the pointer to be where it last saw it move: across the
        # window, to rest on the title bar, where it shows no tooltip and
        # lights no control.
        self.xdotool("mousemove", str(w.x + w.w // 2), str(w.y + w.h // 2))
        time.sleep(0.3)
        self.xdotool("mousemove", str(w.x + w.w // 2), str(w.y + 4))
        time.sleep(0.5)
        path = os.path.join(self.work, "window.xwd")
        with open(path, "wb") as f:
            subprocess.run(["xwd", "-id", ids[0], "-silent"], env=self.env, stdout=f, check=True)
        os.makedirs(self.args.screenshots, exist_ok=True)
        xwd.Dump(path).png(os.path.join(self.args.screenshots, name))

    def wait_exit(self, seconds, what):
        try:
            return self.zelmo.wait(seconds)
        except subprocess.TimeoutExpired:
            raise Failure("zelmo.exe still runs %d s after %s" % (seconds, what))


def write_rom(path, program, size, seed=7):
    """The program's S-records with size random bytes at 0x440000 before
    its end record, as S3 records of 32 bytes: an upload long enough to be
    seen half-way, of a ROM that still greets."""
    rnd = random.Random(seed)
    data = bytes(rnd.randrange(256) for _ in range(size))
    with open(program) as f:
        lines = f.read().splitlines()
    records = [l for l in lines if not l.startswith(("S7", "S8", "S9"))]
    ends = [l for l in lines if l.startswith(("S7", "S8", "S9"))]
    for at in range(0, size, 32):
        chunk = data[at:at + 32]
        body = bytes([len(chunk) + 5]) + (0x440000 + at).to_bytes(4, "big") + chunk
        records.append("S3%s%02X" % (body.hex().upper(), ~sum(body) & 0xFF))
    with open(path, "w") as f:
        f.write("\n".join(records + ends) + "\n")


def case_operator(s, args):
    rom = os.path.join(args.native, "examples", "hello.s37")
    if args.screenshots:
        sim, device = s.start_sim("--real-time", "--dump", "flash.s37", "--trace")
        roms = s.prepare_prefix(args.dpi or 96, device)
        write_rom(os.path.join(roms, "demo.rom"), rom, 12 * 1024)
        name = "demo.rom"
    else:
        sim, device = s.start_sim("--dump", "flash.s37", "--trace")
        roms = s.prepare_prefix(args.dpi or 96, device)
        shutil.copy(rom, os.path.join(roms, "hello.rom"))
        name = "hello.rom"
    if args.screenshots:
        # No command line: the port dialog waits for the operator.
        s.start_zelmo()
        s.wait_for(lambda: s.window("TForm1"), 60, "port dialog")
        s.snapshot("win32-port-dialog.png", "TForm1")
        s.click("TForm1", "OK")
    else:
        s.start_zelmo("1")  # confirms COM1 by itself
    main = s.wait_for(lambda: s.window("TForm5"), 60, "main window")
    expected = (round(722 * s.dpi / 120), round(450 * s.dpi / 120))
    if abs(main.w - expected[0]) > 1 or abs(main.h - expected[1]) > 1:
        raise Failure("main window is %dx%d, not %dx%d at %d dpi" % (main.w, main.h, *expected, s.dpi))
    if s.control("TForm5", "COM1") is None and s.control("TForm5", "COM 1") is None:
        raise Failure("the port label does not name COM1")
    s.click("TForm5", "Start")
    s.type_path("C:\\roms\\" + name)
    if args.screenshots:
        def half_way():
            tops = s.windows()
            bar = [c for c in s.window("TForm5", tops).children if c.cls == "msctls_progress32"][0]
            pos, low, high = map(int, bar.text.split())
            return (s.status(tops) or "").startswith("Loading") and high > 0 and pos * 2 >= high
        s.wait_for(half_way, 120, "upload half-way")
        s.snapshot("win32-main-uploading.png", "TForm5")
    s.wait_status("Load file completed ...", 120)
    lamps = s.lamps()
    if lamps != [GREEN] * 6:
        raise Failure("the lamps read %s, not six times %s" % (lamps, GREEN))
    s.log.append("six green lamps on the screen")
    s.snapshot("win32-main-completed.png", "TForm5")
    s.click("TForm5", "Restart Receiver")

    def greeted():
        with open(os.path.join(s.work, "sim.err")) as f:
            sent = bytes(int(line.split()[-1], 16) for line in f if " board>host " in line
                         and len(line.split()[-1]) == 2)
        return GREETING in sent
    s.wait_for(greeted, 15, "greeting from the board")
    s.log.append("the board greets")
    s.click("TForm5", "Exit")
    rc = s.wait_exit(10, "Exit")
    sim.send_signal(signal.SIGINT)
    if sim.wait(20) != 0:
        raise Failure("zelmo-sim ended with %d" % sim.returncode)
    if rc != 0:
        raise Failure("zelmo.exe exited with %d" % rc)
    flash = os.path.join(s.work, "flash.s37")
    romfile = os.path.join(roms, name)
    if subprocess.run([args.srec_cmp, romfile, flash, "-crop", "-within", romfile]).returncode != 0:
        raise Failure("the saved flash differs from %s where the ROM has data" % name)
    s.log.append("the saved flash holds the ROM")


def case_silent_line(s, args):
    s.prepare_prefix(args.dpi or 120, s.silent_line())
    s.start_zelmo("1")
    main = s.wait_for(lambda: s.window("TForm5"), 60, "main window")
    expected = (round(722 * s.dpi / 120), round(450 * s.dpi / 120))
    if abs(main.w - expected[0]) > 1 or abs(main.h - expected[1]) > 1:
        raise Failure("main window is %dx%d, not %dx%d at %d dpi" % (main.w, main.h, *expected, s.dpi))
    s.click("TForm5", "Start")
    # Three connect sequences: "Start", then twice "Reset" and "Connect".
    for attempt in range(3):
        s.wait_for(lambda: s.enabled("Reset"), 60, "Reset after failed attempt %d" % (attempt + 1))
        if s.status() != "Time Out - Cannot connect to target ....":
            raise Failure("status after a silent attempt: %r" % s.status())
        s.click("TForm5", "Reset")
        if attempt < 2:
            s.wait_for(lambda: s.enabled("Connect"), 10, "Connect")
            s.click("TForm5", "Connect")
    fatal = s.wait_for(lambda: s.window("TForm4"), 10, "fatal-error dialog")
    tops = s.windows()
    if s.window("TForm5", tops).enabled:
        raise Failure("the main window still takes input under the fatal-error dialog")
    memo = [c for c in fatal.children if c.cls == "Edit"][0].text
    if "FATAL ERROR !!!" not in memo or "restart Tormane again." not in memo:
        raise Failure("fatal-error message reads %r" % memo)
    if fatal.text != "":
        raise Failure("fatal-error dialog has the title %r" % fatal.text)
    s.log.append("fatal-error dialog, main window disabled")
    # The message has the focus; Tab goes on to "Continue" instead of
    # typing a tab into it.
    if s.focus("TForm4") is None or s.focus("TForm4").cls != "Edit":
        raise Failure("the fatal-error message does not have the focus")
    s.key("Tab", "TForm4", "Continue")
    s.snapshot("win32-fatal-error.png", "TForm4")
    s.click("TForm4", "Continue")
    rc = s.wait_exit(10, "Continue")
    if rc != 0:
        raise Failure("zelmo.exe exited with %d" % rc)


def case_exit_during_erase(s, args):
    # The data sheet's longest times, at the board's own pace: the chip
    # erase takes 88 s.
    sim, device = s.start_sim("--timing", "slowest", "--real-time")
    roms = s.prepare_prefix(args.dpi or 96, device)
    shutil.copy(os.path.join(args.native, "examples", "hello.s37"), os.path.join(roms, "hello.rom"))
    s.start_zelmo("1")
    s.wait_for(lambda: s.window("TForm5"), 60, "main window")
    # The keyboard, as on Windows: the focus starts on "Start", Tab passes
    # the disabled "Connect" and "Reset" in the tab order (Start, Connect,
    # Reset, Exit, ROM File, Restart Receiver), Return presses the button
    # that has the focus.
    s.wait_for(lambda: s.focus_text("TForm5") == "Start", 10, "focus on Start")
    s.key("Tab", "TForm5", "Exit")
    s.key("Tab", "TForm5", "ROM File")
    s.key("Return", "TForm5", None)
    s.type_path("C:\\roms\\hello.rom")
    s.wait_status("Erasing FLASH memory.....", 60)
    s.click("TForm5", "Exit")
    start = time.time()
    rc = s.wait_exit(5, "Exit during the erase")
    s.log.append("ended %.1f s after Exit" % (time.time() - start))
    if rc != 0:
        raise Failure("zelmo.exe exited with %d" % rc)
    if sim.poll() is not None:
        raise Failure("zelmo-sim ended (%d) before the erase could finish" % sim.returncode)


CASES = {"operator": case_operator, "silent-line": case_silent_line, "exit-during-erase": case_exit_during_erase}


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--case", choices=sorted(CASES), required=True)
    p.add_argument("--wine-run", required=True)
    p.add_argument("--prefix", required=True)
    p.add_argument("--zelmo", required=True)
    p.add_argument("--wininfo", required=True)
    p.add_argument("--native", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--srec-cmp", default="srec_cmp")
    p.add_argument("--screenshots")
    p.add_argument("--dpi", type=int, help="the screen's DPI (the cases' own by default)")
    args = p.parse_args()
    for key in ("wine_run", "prefix", "zelmo", "wininfo", "native", "work"):
        setattr(args, key, os.path.abspath(getattr(args, key)))
    name = "window %s" % args.case
    if not os.access(os.path.join(args.native, "sim", "zelmo-sim"), os.X_OK):
        print("%s: needs zelmo-sim of the native build in %s (make build); skipping" % (name, args.native))
        return 77
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    s = Session(args)
    started = time.time()
    try:
        s.start_x()
        CASES[args.case](s, args)
    except Skip as e:
        print("%s: %s; skipping" % (name, e))
        return 77
    except Failure as e:
        print("\n".join(s.log))
        print("FAIL: %s: %s" % (name, e))
        return 1
    finally:
        s.finish()
    print("\n".join(s.log))
    print("%s: passed in %.1f s" % (name, time.time() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
