#!/usr/bin/env python3
"""Acts on zelmo.exe's windows under Wine as an operator would: an X server
of its own, a Wine session whose COM1 reaches a given line, the windows'
controls found by their texts (wininfo.exe), real clicks and keys (xdotool),
the screen read back (xwd). Used by window_under_wine.py.
"""
import os
import pty
import random
import shutil
import signal
import subprocess
import threading
import time

import xwd

# The main window's layout is drawn at 120 dpi; the lamps' places in it.
LAMP_CENTRES = [(20 + col + 10.5, 210 + row + 10.5) for col in (20, 250, 460) for row in (20, 60)]


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

    def hover(self, cls, text):
        c = self.wait_for(lambda: self.control(cls, text), 20, "%r in %s" % (text.strip(), cls))
        x, y = c.centre()
        # Wine takes the pointer to be where it last saw it move.
        self.xdotool("mousemove", str(x - 2), str(y), "mousemove", str(x), str(y))

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
