#!/usr/bin/python3
"""korvane-nemo or korvane-caja in a real Nemo or Caja window.

Runs inside scripts/lib/fm-session (private bus, home and X display, the
build tree's module bind-mounted over the file manager's extension folder;
$KRV_FILE_MANAGER names the file manager). Makes the same working copy as
the Nautilus window test, opens it in the file manager, whose module lets
the bus start finder-extension, and checks what a user would see:
- in list and icon view, each file shows the emblem of its badge on its
  icon (names found through the accessibility tree in the list, by OCR in
  icon view; badges in the pixels), and the clean file none;
- a file edited on disk gains "modified" and loses it after `svn revert`;
- the context menu on a file holds the Korvane submenu with the commands
  (read through the accessibility tree), and Update hands korvane-app the
  command for that file, whose progress window opens (commands.py);
- with the service stopped (SIGSTOP), the file manager still opens a folder
  and its context menu;
- (Nemo) a working copy that is not registered offers "Show Subversion
  Status" on its folder's background, and choosing it brings its badges.
Every wait is bounded and says what it saw when it gives up.
"""
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "nautilus"))
import window_test as screen  # noqa: E402  the screen, OCR and badge helpers

import a11y  # noqa: E402  menus and list rows through the accessibility tree
from window_test import commands  # noqa: E402  korvane-app's windows

MANAGER = os.environ["KRV_FILE_MANAGER"]
WC, RECEIVED, Failure = screen.WC, screen.RECEIVED, screen.Failure
SETTINGS = {"nemo": "org.nemo", "caja": "org.mate.caja"}[MANAGER]
# Nemo's menus carry the service's separators; Caja's extension menus have none.
SEPARATOR = [""] if MANAGER == "nemo" else []
MENU = ["Show in Korvane"] + SEPARATOR + ["Update", "Commit Changes\u2026"] + SEPARATOR + ["Add", "Ignore",
                                                                                          "Revert\u2026"]
# Caja's steps are larger: its "large" cuts the names short.
LIST_ZOOM = {"nemo": "large", "caja": "standard"}[MANAGER]
VIEW_KEYS = {"icon": "ctrl+1", "list": "ctrl+2"}
BOUND = 60  # seconds for an expected state to show
HEAD = "2"  # the working copy's revision: the sample, then a colleague's delete


def rest_pointer():
    # On the file view's empty lower part: the bottom right corner holds
    # the zoom slider, whose tooltip would cover part of the view.
    screen.xdotool("mousemove", 700, 620)


screen.rest_pointer = rest_pointer


def log(message):
    print(f"{MANAGER}-window-test: {message}", flush=True)


def emblem_box(view, word):
    """Where the emblem of the file named by word is drawn: on the lower
    right of the file's icon, left of the name's cell in list view, above
    the name in icon view."""
    if view == "list":
        return (word.left - 80, word.top, word.left - 20, word.bottom)
    return (word.cx - 30, word.top - 64, word.cx + 40, word.top - 2)


def check_badges(view, expected):
    deadline = time.monotonic() + BOUND
    words = []
    while True:
        shot = screen.settle()
        if view == "list":
            words = a11y.list_rows(MANAGER)
        elif not all(screen.find_word(words, name) for name in expected):
            words = screen.read_words(shot)
        seen, wrong = {}, []
        for name, badge in expected.items():
            word = screen.find_word(words, name)
            found, counts = screen.badge_seen(shot, emblem_box(view, word)) if word else ("(name not seen)", {})
            seen[name] = f"{found or 'no badge'} {counts}"
            if found != badge:
                wrong.append(name)
        if not wrong:
            return shot
        if time.monotonic() > deadline:
            details = "; ".join(f"{n}: expected {expected[n] or 'no badge'}, saw {seen[n]}" for n in wrong)
            raise Failure(screen.keep(shot, f"{view} view after {BOUND} s: {details}"))
        time.sleep(1)


# --- Menus ------------------------------------------------------------------------

def context_menu_on(name):
    screen.settle()
    word = screen.find_word(a11y.list_rows(MANAGER), name)
    if not word:
        raise Failure(screen.keep(screen.capture(), f"{name} is not in the list"))
    deadline = time.monotonic() + BOUND
    while True:
        screen.xdotool("mousemove", word.cx, word.cy, "click", 3)
        menu = None
        poll_end = time.monotonic() + 5
        while not menu and time.monotonic() < poll_end:
            menu = a11y.korvane_menu(MANAGER)
            time.sleep(0.2)
        if menu:
            return menu
        screen.key("Escape")
        if time.monotonic() > deadline:
            raise Failure(screen.keep(screen.capture(), f"the context menu on {name} has no Korvane submenu"))


def check_menu_and_update(name):
    menu = context_menu_on(name)
    read = a11y.titles(menu)
    if read != MENU:
        raise Failure(screen.keep(screen.capture(), f"the Korvane submenu on {name} reads {read}, not {MENU}"))
    update = next(child for child in menu if child.name == "Update")
    action = update.queryAction()
    action.doAction(0)
    screen.key("Escape")
    expected = f"action: update\npath: {os.path.join(WC, name)}\nactivate: no\n"
    deadline = time.monotonic() + BOUND
    while True:
        received = open(RECEIVED).read() if os.path.exists(RECEIVED) else ""
        if expected in received:
            break
        if time.monotonic() > deadline:
            raise Failure(f"korvane-app did not receive Update for {name}; it received: {received!r}")
        time.sleep(0.5)
    commands.check_update(os.path.join(WC, name), HEAD)


def background_menu(find):
    """Right-clicks the folder's background until find() gives what its menu
    should hold (Nemo builds the background menu ahead, and rebuilds it when
    the service's folders change); returns that, or None after the bound."""
    deadline = time.monotonic() + BOUND
    while time.monotonic() < deadline:
        screen.xdotool("mousemove", 700, 620, "click", 3)
        item = None
        poll_end = time.monotonic() + 3
        while not item and time.monotonic() < poll_end:
            item = find()
            time.sleep(0.2)
        if item:
            return item
        screen.key("Escape")
    return None


def check_show_status():
    """A folder of a working copy that is not registered offers "Show
    Subversion Status" on its background; choosing it registers the working
    copy, and its badges appear."""
    if background_menu(lambda: a11y.korvane_menu(MANAGER)) is None:
        raise Failure(screen.keep(screen.capture(), "the registered folder's background has no Korvane menu"))
    if a11y.popup_item(MANAGER, "Show Subversion Status"):
        raise Failure(screen.keep(screen.capture(), "a registered folder offers Show Subversion Status"))
    screen.key("Escape")
    other = os.path.join(screen.SCRATCH, "other")
    screen.run("svn", "checkout", "-q", f"file://{os.path.join(screen.SCRATCH, 'repo')}", other)
    with open(os.path.join(other, "clean.txt"), "a") as f:
        f.write("edited\n")
    screen.key("ctrl+l")
    screen.xdotool("type", "--delay", 20, other)
    deadline = time.monotonic() + BOUND
    while True:
        # The location bar may complete the name first and want another Return.
        screen.key("Return")
        time.sleep(1)
        names = [row.text for row in a11y.list_rows(MANAGER)]
        if "clean.txt" in names and "added.txt" not in names:
            break
        if time.monotonic() > deadline:
            raise Failure(screen.keep(screen.capture(), f"{other} did not open; the list shows {names}"))
    screen.rest_pointer()
    item = background_menu(lambda: a11y.popup_item(MANAGER, "Show Subversion Status"))
    if item is None:
        raise Failure(screen.keep(screen.capture(), "the unregistered working copy's background lacks Show Subversion Status"))
    item.queryAction().doAction(0)
    screen.key("Escape")
    screen.rest_pointer()
    check_badges("list", {"clean.txt": "modified", "locked.txt": None})
    log("Show Subversion Status on an unregistered working copy registered it: its badges appear")


# --- The scenario ---------------------------------------------------------------

def start_manager():
    screen.run("gsettings", "set", f"{SETTINGS}.preferences", "default-folder-viewer", "list-view")
    # Larger icons in the list, so that the emblems on them are large enough
    # to tell apart.
    screen.run("gsettings", "set", f"{SETTINGS}.list-view", "default-zoom-level", LIST_ZOOM)
    log_file = open(os.path.join(screen.SCRATCH, f"{MANAGER}.log"), "w")
    process = subprocess.Popen([MANAGER, "--no-desktop", WC] if MANAGER == "caja" else [MANAGER, WC],
                               stdout=log_file, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + BOUND
    window = ""
    while not window:
        if time.monotonic() > deadline:
            raise Failure(f"no {MANAGER} window after {BOUND} s")
        time.sleep(0.5)
        window = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", MANAGER],
                                stdout=subprocess.PIPE, text=True).stdout.split("\n")[0].strip()
    # There is no window manager: place and size the window ourselves.
    screen.xdotool("windowmove", window, 0, 0)
    screen.xdotool("windowsize", window, 1024, 700)
    screen.xdotool("windowfocus", window)
    screen.rest_pointer()
    return process


def scenario():
    screen.make_working_copy()
    screen.install_extension()
    bus = commands.start_accessibility_bus()
    manager = start_manager()
    extension = None
    try:
        extension = screen.extension_pid()
        shots = os.environ.get("KRV_WINDOW_TEST_SHOTS")
        for view in ("list", "icon"):
            screen.key(VIEW_KEYS[view])
            screen.rest_pointer()
            shot = check_badges(view, screen.FILES)
            if shots:
                shot.save(os.path.join(shots, f"{MANAGER}-{view}.png"))
            log(f"{view} view: each file shows its badge on its icon, clean.txt none")
        screen.key(VIEW_KEYS["list"])
        screen.rest_pointer()

        with open(os.path.join(WC, "clean.txt"), "a") as f:
            f.write("edited\n")
        check_badges("list", {**screen.FILES, "clean.txt": "modified"})
        log("clean.txt edited on disk: shows modified")
        screen.run("svn", "revert", "-q", os.path.join(WC, "clean.txt"))
        check_badges("list", screen.FILES)
        log("after svn revert: clean.txt's badge is gone")

        check_menu_and_update("modified.txt")
        log(f"the context menu on modified.txt holds Korvane with {MENU}; Update opened korvane-app's window")

        os.kill(extension, signal.SIGSTOP)
        try:
            docs = screen.find_word(a11y.list_rows(MANAGER), "docs")
            if not docs:
                raise Failure(screen.keep(screen.capture(), "the docs folder is not on the screen"))
            screen.xdotool("mousemove", docs.cx, docs.cy, "click", "--repeat", 2, "--delay", 80, 1)
            screen.rest_pointer()
            deadline = time.monotonic() + BOUND
            while not screen.find_word(a11y.list_rows(MANAGER), "inner.txt"):
                time.sleep(0.5)
                if time.monotonic() > deadline:
                    raise Failure(screen.keep(screen.capture(), "with the service stopped, the docs folder did not open"))
            menu = context_menu_on("inner.txt")
            if "Update" not in a11y.titles(menu):
                raise Failure(screen.keep(screen.capture(), "with the service stopped, the Korvane submenu is empty"))
            screen.key("Escape")
            log("with the service stopped: the folder and the Korvane menu opened")
        finally:
            os.kill(extension, signal.SIGCONT)
        if MANAGER == "nemo":
            check_show_status()
    finally:
        if extension:
            os.kill(extension, signal.SIGTERM)
        for process in (manager, bus):
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()


def main():
    started = time.monotonic()
    try:
        scenario()
    except Failure as failure:
        print(f"{MANAGER}-window-test: FAILED: {failure}", file=sys.stderr)
        return 1
    log(f"passed in {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
