#!/usr/bin/python3
"""korvane-thunar in a real Thunar window.

Runs inside scripts/lib/fm-session thunar (private bus, home and X display,
the build tree's module bind-mounted over Thunar's extension folder). Makes
the same working copy as the other window tests, opens it in Thunar's list
view, whose module lets the bus start finder-extension, and checks through
the accessibility tree:
- the context menu on modified.txt holds the Korvane submenu, headed by
  "Status: modified", then the commands (the module asks for the status
  line to be insensitive, but Thunar 4.18 draws it like the others); Update hands
  korvane-app the command for that file;
- the folder's background menu holds the Korvane submenu without a status
  line; Show in Korvane hands korvane-app the folder.
Every wait is bounded and says what it saw when it gives up.
"""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "nautilus"))
sys.path.append(os.path.join(HERE, "..", "gtk3"))
import window_test as screen  # noqa: E402  the working copy, X and process helpers
import a11y  # noqa: E402

WC, RECEIVED, Failure = screen.WC, screen.RECEIVED, screen.Failure
COMMANDS = ["Show in Korvane", "Update", "Commit Changes\u2026", "Add", "Ignore", "Revert\u2026"]
BOUND = 60  # seconds for an expected state to show


def log(message):
    print(f"thunar-menu-test: {message}", flush=True)


def open_menu(x, y, wanted_first):
    """Right-clicks at (x, y) until the Korvane submenu opens with the first
    line wanted (a status the module has not learnt yet reads "checking…"
    and is there the next time); returns the submenu's node."""
    deadline = time.monotonic() + BOUND
    read = None
    while time.monotonic() < deadline:
        screen.xdotool("mousemove", x, y, "click", 3)
        menu = None
        poll_end = time.monotonic() + 5
        while not menu and time.monotonic() < poll_end:
            menu = a11y.korvane_menu("thunar")
            time.sleep(0.2)
        if menu:
            read = a11y.titles(menu)
            if read and read[0] == wanted_first:
                return menu
        screen.key("Escape")
        time.sleep(0.5)
    raise Failure(screen.keep(screen.capture(), f"the Korvane submenu did not open with {wanted_first!r}; read {read}"))


def choose(menu, title, expected):
    item = next(child for child in menu if child.name == title)
    item.queryAction().doAction(0)
    screen.key("Escape")
    deadline = time.monotonic() + BOUND
    while True:
        received = open(RECEIVED).read() if os.path.exists(RECEIVED) else ""
        if expected in received:
            return
        if time.monotonic() > deadline:
            raise Failure(f"korvane-app did not receive {expected!r}; it received: {received!r}")
        time.sleep(0.5)


def rows():
    deadline = time.monotonic() + BOUND
    while True:
        found = a11y.list_rows("thunar")
        if screen.find_word(found, "modified.txt"):
            return found
        if time.monotonic() > deadline:
            raise Failure(screen.keep(screen.capture(), "Thunar's list does not show modified.txt"))
        time.sleep(0.5)


def scenario():
    screen.make_working_copy()
    screen.install_extension()
    log_file = open(os.path.join(screen.SCRATCH, "thunar.log"), "w")
    thunar = subprocess.Popen(["thunar", WC], stdout=log_file, stderr=subprocess.STDOUT)
    extension = None
    try:
        deadline = time.monotonic() + BOUND
        window = ""
        while not window:
            if time.monotonic() > deadline:
                raise Failure(f"no Thunar window after {BOUND} s")
            time.sleep(0.5)
            window = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "thunar"],
                                    stdout=subprocess.PIPE, text=True).stdout.split("\n")[0].strip()
        screen.xdotool("windowmove", window, 0, 0)
        screen.xdotool("windowsize", window, 1024, 700)
        screen.xdotool("windowfocus", window)
        extension = screen.extension_pid()
        screen.key("ctrl+2")  # the detailed list

        modified = screen.find_word(rows(), "modified.txt")
        menu = open_menu(modified.cx, modified.cy, "Status: modified")
        read = a11y.titles(menu)
        if read != ["Status: modified"] + COMMANDS:
            raise Failure(screen.keep(screen.capture(), f"the Korvane submenu on modified.txt reads {read}"))
        choose(menu, "Update", f"action: update\npath: {os.path.join(WC, 'modified.txt')}\nactivate: no\n")
        log(f"the context menu on modified.txt holds Korvane with {read}; Update reached korvane-app")

        menu = open_menu(700, 620, "Show in Korvane")
        read = a11y.titles(menu)
        if "Status" in " ".join(read):
            raise Failure(f"the folder's background menu has a status line: {read}")
        choose(menu, "Show in Korvane", f"action: reveal\npath: {WC}\nactivate: yes\n")
        log(f"the folder's background menu holds Korvane with {read}; Show in Korvane reached korvane-app")
    finally:
        if extension:
            os.kill(extension, 15)
        thunar.terminate()
        try:
            thunar.wait(10)
        except subprocess.TimeoutExpired:
            thunar.kill()


def main():
    started = time.monotonic()
    try:
        scenario()
    except Failure as failure:
        print(f"thunar-menu-test: FAILED: {failure}", file=sys.stderr)
        return 1
    log(f"passed in {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
