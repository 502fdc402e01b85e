#!/usr/bin/python3
"""Dolphin window test: a real Dolphin shows the badges and the Korvane menu.

Runs inside a private session bus and a virtual display (run-window-test).
Makes a working copy with one item of each badge, registers it, starts
finder-extension and Dolphin with the plugins, and checks the screen: the
badges, and each command of the Korvane submenu as commands.py checks it in
korvane-app's window (through the accessibility tree) and the working copy,
followed by the item's badge. With --demo it only takes the screenshots
scripts/demo --dolphin shows.
"""
import os
import signal
import subprocess
import sys
import time

import commands

SCRATCH = sys.argv[1]
BIN = os.path.join(SCRATCH, "bin")
SHOTS = os.path.join(SCRATCH, "shots")
WC = os.path.join(SCRATCH, "wc")

started = []
DOLPHIN = []  # Dolphin's main window, once shown


def fail(message):
    subprocess.run(["import", "-window", "root", os.path.join(SHOTS, "failure.png")], capture_output=True)
    print("dolphin window test: FAILED: " + message, flush=True)
    raise SystemExit(1)


def say(message):
    print("dolphin: " + message, flush=True)


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs).stdout


def start(*args):
    log = open(os.path.join(SCRATCH, os.path.basename(args[0]) + ".log"), "w")
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=log)
    started.append(process)
    return process


def setup_environment():
    home = os.path.join(SCRATCH, "home")
    env = {
        "HOME": home,
        "XDG_DATA_HOME": home + "/.local/share",
        "XDG_CONFIG_HOME": home + "/.config",
        "XDG_CACHE_HOME": home + "/.cache",
        "XDG_RUNTIME_DIR": os.path.join(SCRATCH, "run"),
        "QT_PLUGIN_PATH": os.path.join(SCRATCH, "plugins"),
        "QT_QPA_PLATFORM": "xcb",
    }
    for key in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"):
        os.makedirs(env[key], mode=0o700, exist_ok=True)
    os.environ.update(env)
    os.makedirs(SHOTS, exist_ok=True)
    with open(os.path.join(env["XDG_CONFIG_HOME"], "kdeglobals"), "w") as f:
        f.write("[Icons]\nTheme=breeze\n")


def make_working_copy():
    repo = os.path.join(SCRATCH, "repo")
    run("svnadmin", "create", repo)
    run("svn", "checkout", "-q", "file://" + repo, WC)
    names = ["b-clean.txt", "c-conflicted.txt", "d-deleted.txt", "e-locked.txt", "f-modified.txt"]
    for name in names:
        with open(os.path.join(WC, name), "w") as f:
            f.write(name + "\n")
    run("svn", "add", "-q", *[os.path.join(WC, n) for n in names])
    run("svn", "commit", "-q", "-m", "Sample", WC)
    other = os.path.join(SCRATCH, "other")
    run("svn", "checkout", "-q", "file://" + repo, other)
    with open(os.path.join(other, "c-conflicted.txt"), "w") as f:
        f.write("theirs\n")
    run("svn", "commit", "-q", "-m", "Theirs", other)
    with open(os.path.join(WC, "c-conflicted.txt"), "w") as f:
        f.write("mine\n")
    run("svn", "update", "-q", "--accept", "postpone", WC)
    with open(os.path.join(WC, "a-added.txt"), "w") as f:
        f.write("new\n")
    run("svn", "add", "-q", os.path.join(WC, "a-added.txt"))
    run("svn", "rm", "-q", "--keep-local", os.path.join(WC, "d-deleted.txt"))
    run("svn", "lock", "-q", "-m", "Mine", os.path.join(WC, "e-locked.txt"))
    with open(os.path.join(WC, "f-modified.txt"), "a") as f:
        f.write("more\n")
    # For Add and Ignore: an unversioned file to add; a name that is a
    # pattern of its own, beside a file that pattern would match.
    for name in ("g-unversioned.txt", "n-new.txt", "report1.txt", "report[1].txt"):
        with open(os.path.join(WC, name), "w") as f:
            f.write("notes\n")
    run("svn", "propset", "-q", "svn:ignore", "\n".join(IGNORED), WC)


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.2)
    fail("gave up after %d s waiting for %s" % (seconds, what))


def start_service():
    run(BIN + "/korvane-app", "install-desktop-entry")
    run(BIN + "/korvane-app", "register", WC)
    service = start(BIN + "/finder-extension")

    def has_owner():
        out = subprocess.run(["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                              "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner",
                              "com.korvaneapp.v3.FinderSync"], capture_output=True, text=True).stdout
        return "true" in out
    wait_for(has_owner, 20, "finder-extension on the bus")
    return service


def start_dolphin():
    dolphin = start("/usr/bin/dolphin", "--new-window", WC)

    def window():
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "dolphin"], capture_output=True,
                             text=True).stdout.split()
        return out[0] if out else None
    win = wait_for(window, 60, "the Dolphin window")
    DOLPHIN[:] = [win]
    run("xdotool", "windowmove", win, "0", "0")
    run("xdotool", "windowsize", win, "1024", "900")
    run("xdotool", "windowfocus", "--sync", win)
    return dolphin


class Shot:
    """A screenshot as ImageMagick's binary PPM: a header, then RGB bytes."""

    def __init__(self, data):
        tokens, pos = [], 0
        while len(tokens) < 4:
            end = data.index(b"\n", pos)
            if not data[pos:end].startswith(b"#"):
                tokens += data[pos:end].split()
            pos = end + 1
        self.width, self.height = int(tokens[1]), int(tokens[2])
        self.pixels = data[pos:]

    def at(self, x, y):
        i = 3 * (y * self.width + x)
        return tuple(self.pixels[i:i + 3])


def screenshot():
    taken = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], check=True, capture_output=True)
    return Shot(taken.stdout)


def save(name):
    path = os.path.join(SHOTS, name + ".png")
    run("import", "-window", "root", path)
    return path


def steady_screenshot(seconds=30):
    """Two equal screenshots in a row: Dolphin has finished drawing."""
    previous = screenshot()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        time.sleep(0.4)
        current = screenshot()
        if current.pixels == previous.pixels:
            return current
        previous = current
    fail("the window did not settle within %d s" % seconds)


# The badge colours (the emblems' fill); "deleted" and "unversioned" share grey.
BADGE_COLOURS = {
    "conflicted": (255, 59, 48),
    "modified": (255, 149, 0),
    "added": (0, 122, 255),
    "deleted": (142, 142, 147),
    "locked": (175, 82, 222),
    "unversioned": (142, 142, 147),
}
# Each item and the badge it must show ("" for none), in Dolphin's order.
ITEMS = [
    ("a-added.txt", "added"),
    ("b-clean.txt", ""),
    ("c-conflicted.txt", "conflicted"),
    ("c-conflicted.txt.mine", "unversioned"),
    ("c-conflicted.txt.r1", "unversioned"),
    ("c-conflicted.txt.r2", "unversioned"),
    ("d-deleted.txt", "deleted"),
    ("e-locked.txt", "locked"),
    ("f-modified.txt", "modified"),
    ("g-unversioned.txt", "unversioned"),
    ("n-new.txt", "unversioned"),
    ("report1.txt", "unversioned"),
    ("report[1].txt", "unversioned"),
]
MENU = ["Show in Korvane", "Update", "Commit Changes\u2026", "Add", "Ignore", "Revert\u2026"]
IGNORED = ["*.bak"]  # the root's svn:ignore before Ignore adds to it


def near(colour, tolerance=2):
    r, g, b = colour
    return {(r + i, g + j, b + k) for i in range(-tolerance, tolerance + 1) for j in range(-tolerance, tolerance + 1)
            for k in range(-tolerance, tolerance + 1)}


NEAR_BADGE = {badge: near(colour) for badge, colour in BADGE_COLOURS.items()}


def pixels_in(shot, box):
    x0, y0, x1, y1 = box
    for y in range(y0, y1 + 1):
        row = shot.pixels[3 * (y * shot.width + x0):3 * (y * shot.width + x1 + 1)]
        yield from zip(row[0::3], row[1::3], row[2::3])


def badges_in(shot, box):
    """The badges whose colour fills enough pixels of box (a small disc's worth)."""
    counts = {badge: 0 for badge in BADGE_COLOURS}
    for pixel in pixels_in(shot, box):
        for badge, colours in NEAR_BADGE.items():
            if pixel in colours:
                counts[badge] += 1
    return {badge for badge, n in counts.items() if n >= 15}


def changed_box(before, after, keep=lambda pixel: True, outside=None):
    """The bounding box of the pixels that differ (and that keep accepts), outside the box outside."""
    xs, ys = [], []
    row_bytes = 3 * after.width
    for y in range(after.height):
        old = before.pixels[y * row_bytes:(y + 1) * row_bytes]
        new = after.pixels[y * row_bytes:(y + 1) * row_bytes]
        if old == new:
            continue
        for x, (p, q) in enumerate(zip(zip(old[0::3], old[1::3], old[2::3]), zip(new[0::3], new[1::3], new[2::3]))):
            if p == q or not keep(q):
                continue
            if outside and outside[0] <= x <= outside[2] and outside[1] <= y <= outside[3]:
                continue
            xs.append(x)
            ys.append(y)
    return (min(xs), min(ys), max(xs), max(ys)) if xs else None


def locate(name, baseline, required=True):
    """The box that Dolphin tints with the selection colour when the item is
    selected by typing its name."""
    time.sleep(1.2)  # a new type-ahead search, not a continuation of the last one
    run("xdotool", "type", "--delay", "40", name)
    shot = steady_screenshot()
    box = changed_box(baseline, shot, keep=lambda pixel: pixel[2] - pixel[0] >= 40)
    if not box and required:
        fail("typing %s selected nothing" % name)
    return box


def show_view(view, key):
    """Switches to the view; the first steady screenshot with every badge colour."""
    run("xdotool", "key", key)

    def all_badges():
        shot = steady_screenshot()
        return shot if len(badges_in(shot, (0, 0, shot.width - 1, shot.height - 1))) == len(BADGE_COLOURS) else None
    return wait_for(all_badges, 30, "every badge colour in the %s view" % view)


def check_view(view, key):
    baseline = show_view(view, key)
    save(view.lower())
    boxes = {}
    for name, badge in ITEMS:
        box = locate(name, baseline)
        found = badges_in(baseline, box)
        expected = {b for b, c in BADGE_COLOURS.items() if badge and c == BADGE_COLOURS[badge]}
        if found != expected:
            fail("%s view: %s at %s shows %s, expected %s" % (view, name, box, sorted(found) or "no badge",
                                                              badge or "no badge"))
        boxes[name] = box
    run("xdotool", "key", "Escape")  # clears the selection (the folder is loaded by now)
    say("%s view: every item shows its badge" % view)
    return boxes


def check_refresh(box):
    path = os.path.join(WC, "b-clean.txt")
    with open(path, "a") as f:
        f.write("edited\n")
    wait_for(lambda: badges_in(screenshot(), box) == {"modified"}, 30, "b-clean.txt to show modified after an edit")
    save("edited")
    run("svn", "revert", "-q", path)
    wait_for(lambda: not badges_in(screenshot(), box), 30, "the badge of b-clean.txt to go after svn revert")
    say("an edit shows modified; svn revert removes it")


def text_bands(shot, box):
    """Runs of rows in box that hold text: pixels far from the row's own background."""
    x0, y0, x1, y1 = box
    bands, start = [], None
    for y in range(y0 + 1, y1):
        row = list(pixels_in(shot, (x0 + 4, y, x1 - 4, y)))
        background = max(set(row), key=row.count)
        text = any(sum(abs(p[k] - background[k]) for k in range(3)) > 200 for p in row)
        if text and start is None:
            start = y
        if not text and start is not None:
            bands.append((start, y - 1))
            start = None
    # An underlined accelerator leaves a gap of a row or two inside a title.
    merged = []
    for band in bands:
        if merged and band[0] - merged[-1][1] <= 3:
            merged[-1] = (merged[-1][0], band[1])
        else:
            merged.append(band)
    return merged


def separator_rows(shot, box):
    """Rows of box drawn as one thin grey line across its width."""
    x0, y0, x1, y1 = box
    rows = []
    for y in range(y0 + 2, y1 - 1):
        line = set(pixels_in(shot, (x0 + 8, y, x1 - 8, y)))
        if len(line) != 1:
            continue
        r, g, b = line.pop()
        if r == g == b and 120 <= r <= 230 and shot.at(x0 + 8, y - 1) != (r, g, b) != shot.at(x0 + 8, y + 1):
            rows.append(y)
    return rows


def windows():
    """Dolphin's visible windows (the main window and open menus) and their boxes."""
    found = {}
    ids = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "dolphin"], capture_output=True,
                         text=True).stdout.split()
    for wid in ids:
        shell = dict(line.split("=") for line in run("xdotool", "getwindowgeometry", "--shell", wid).split())
        x, y, w, h = (int(shell[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
        found[wid] = (x, y, x + w - 1, y + h - 1)
    return found


def new_window(before):
    return wait_for(lambda: next((box for wid, box in windows().items() if wid not in before), None), 10,
                    "a menu to open")


def choose(box, title):
    """Opens the Korvane submenu on the item in box and chooses title;
    returns the submenu's text bands and separator rows."""
    run("xdotool", "windowfocus", "--sync", DOLPHIN[0])
    x, y = (box[0] + box[2]) // 2, (box[1] + box[3]) // 2
    run("xdotool", "mousemove", str(x), str(y), "click", "1")
    shown = windows()
    run("xdotool", "click", "3")
    new_window(shown)
    shown = windows()
    run("xdotool", "key", "k")  # the accelerator of "Korvane"
    submenu = new_window(shown)
    shot = steady_screenshot()
    bands = text_bands(shot, submenu)
    if len(bands) != len(MENU):
        fail("the Korvane submenu at %s has %d titles, expected %d" % (submenu, len(bands), len(MENU)))
    if title == "Update":
        save("menu")
    band = bands[MENU.index(title)]
    run("xdotool", "mousemove", str((submenu[0] + submenu[2]) // 2), str((band[0] + band[1]) // 2))
    time.sleep(0.3)
    run("xdotool", "click", "1")
    return bands, separator_rows(shot, submenu)


def badge_becomes(name, box, badge):
    """Waits for the item's badge, once its selection is cleared and the
    pointer is off it (Dolphin lightens the icon under the pointer)."""
    run("xdotool", "windowfocus", "--sync", DOLPHIN[0])
    run("xdotool", "key", "Escape")
    expected = {b for b, c in BADGE_COLOURS.items() if badge and c == BADGE_COLOURS[badge]}

    def shown():
        # A move right after a menu closes may leave the hover where it was.
        run("xdotool", "mousemove", "700", "850", "mousemove_relative", "1", "1")
        return badges_in(screenshot(), box) == expected
    wait_for(shown, 30, "%s to show %s" % (name, badge or "no badge"))


def check_menu(boxes):
    """The submenu's titles; then each command from it, with its effect in
    korvane-app and the working copy, then the item's badge."""
    log = os.path.join(os.environ["XDG_DATA_HOME"], "group-containers/7QH2MXR5TB.com.korvaneapp.shared/FinderSync",
                       "ReceivedCommands.log")
    bands, separators = choose(boxes["f-modified.txt"], "Update")
    if len(separators) != 2:
        fail("the Korvane submenu has %d separators, expected 2" % len(separators))
    if not (bands[0][1] < separators[0] < bands[1][0] and bands[2][1] < separators[1] < bands[3][0]):
        fail("the separators of the Korvane submenu are not after the first and the third title")
    expected = "action: update\npath: %s\n" % os.path.join(WC, "f-modified.txt")
    wait_for(lambda: os.path.exists(log) and expected in open(log).read(), 20,
             "korvane-app to receive update for f-modified.txt")
    commands.check_update(os.path.join(WC, "f-modified.txt"), "2")
    say("the Korvane submenu has six titles and two separators; Update opened korvane-app's progress window")

    def path(name):
        return os.path.join(WC, name)
    choose(boxes["f-modified.txt"], "Revert\u2026")
    commands.check_revert(WC, path("f-modified.txt"))
    badge_becomes("f-modified.txt", boxes["f-modified.txt"], "")
    say("Revert\u2026 listed f-modified.txt and, confirmed, reverted it; unversioned files stay")
    choose(boxes["n-new.txt"], "Add")
    commands.check_add(WC, path("n-new.txt"))
    badge_becomes("n-new.txt", boxes["n-new.txt"], "added")
    say("Add made n-new.txt added")
    choose(boxes["n-new.txt"], "Commit Changes\u2026")
    commands.check_commit(WC, path("n-new.txt"), "Added from Dolphin")
    badge_becomes("n-new.txt", boxes["n-new.txt"], "")
    say("Commit Changes\u2026 opened the dialog with n-new.txt checked; once committed, its badge is gone")
    before = commands.unversioned(WC)
    choose(boxes["report[1].txt"], "Ignore")
    commands.check_ignore(WC, path("report[1].txt"), before, IGNORED)
    badge_becomes("report[1].txt", boxes["report[1].txt"], "")
    badge_becomes("report1.txt", boxes["report1.txt"], "unversioned")
    say("Ignore hid exactly report[1].txt; report1.txt stays unversioned")
    choose(boxes["b-clean.txt"], "Show in Korvane")
    commands.check_reveal(WC)
    say("Show in Korvane opened the working copy's window")


def demo():
    """scripts/demo --dolphin: screenshots before and after a file changes."""
    setup_environment()
    make_working_copy()
    start_service()
    start_dolphin()
    baseline = show_view("Details", "ctrl+3")
    save("dolphin-before")
    say("took the screenshot before the change")
    box = locate("b-clean.txt", baseline)
    run("xdotool", "key", "Escape")
    with open(os.path.join(WC, "b-clean.txt"), "a") as f:
        f.write("edited\n")
    say("changed b-clean.txt; finder-extension waits for 2 quiet seconds, then re-badges it")
    wait_for(lambda: badges_in(screenshot(), box) == {"modified"}, 30, "b-clean.txt to show modified")
    save("dolphin-after")
    say("took the screenshot after the change")


def check_stopped_service(service):
    """With the extension stopped, Dolphin still shows a new file and opens menus."""
    service.send_signal(signal.SIGSTOP)
    try:
        baseline = steady_screenshot()
        with open(os.path.join(WC, "h-new.txt"), "w") as f:
            f.write("new\n")
        box = wait_for(lambda: locate("h-new.txt", baseline, required=False), 20,
                       "Dolphin to show a new file while the extension is stopped")
        run("xdotool", "mousemove", str((box[0] + box[2]) // 2), str((box[1] + box[3]) // 2))
        shown = windows()
        run("xdotool", "click", "3")
        new_window(shown)
        steady_screenshot()
        save("stopped-service-menu")
        run("xdotool", "key", "Escape")
    finally:
        service.send_signal(signal.SIGCONT)
    say("with the extension stopped, Dolphin still shows new files and opens menus")


def main():
    if sys.argv[2:] == ["--demo"]:
        return demo()
    setup_environment()
    commands.shots = SHOTS
    make_working_copy()
    started.append(commands.start_accessibility_bus())
    service = start_service()
    dolphin = start_dolphin()
    check_view("Icons", "ctrl+1")
    boxes = check_view("Details", "ctrl+3")
    check_refresh(boxes["b-clean.txt"])
    check_menu(boxes)
    check_stopped_service(service)
    # The plugins and their shared client unload with Dolphin: it must quit cleanly.
    run("xdotool", "key", "ctrl+q")
    status = wait_for(lambda: dolphin.poll() is not None and (dolphin.returncode,), 20, "Dolphin to quit")[0]
    if status != 0:
        fail("Dolphin quit with status %d" % status)
    say("passed")


try:
    main()
except commands.Failure as failure:
    fail(str(failure))
finally:
    for process in reversed(started):
        process.terminate()
    for process in started:
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
