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
  silent-line        at 120 dpi (the others at 96), no command line: a port's
                     tooltip, "OK"; Start, then Reset and Connect until the
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
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_window import Failure, Session, Skip, write_rom  # noqa: E402

GREETING = b"Hello from Zelmo! The new ROM is running."
GREEN = (0, 128, 0)


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
    # No command line: the port dialog waits, with the focus on "OK", first
    # in its tab order; a port's tooltip names what it reaches.
    s.start_zelmo()
    s.wait_for(lambda: s.focus_text("TForm1") == "OK", 60, "port dialog with the focus on OK")
    s.hover("TForm1", "    COMM1")
    tip = s.wait_for(lambda: s.window("tooltips_class32"), 10, "tooltip of COMM1")
    if not tip.text.startswith("COM1 reaches COM1, reported by its driver as "):
        raise Failure("COMM1's tooltip reads %r" % tip.text)
    s.log.append("tooltip %r" % tip.text)
    s.click("TForm1", "OK")
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
