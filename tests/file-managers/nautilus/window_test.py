#!/usr/bin/python3
"""korvane-nautilus in a real Nautilus window.

Runs inside scripts/lib/nautilus-session (private bus, home and X display;
the build tree's module bind-mounted over Nautilus's extension folder). Makes
a working copy with one file of each badge, opens it in Nautilus, whose
module lets the bus start finder-extension (as on a first start, when the
emblem icons do not exist yet), and checks what a user would see:
- in list and grid view, each file shows the emblem of its badge right next
  to its name (names are found on the screen by OCR, colours and glyph shapes
  are checked in the pixels beside each name), and the clean file none;
- a file edited on disk gains "modified" after the quiet period and loses it
  after `svn revert`;
- the context menu on a file holds the Korvane submenu with the six commands,
  and choosing Update hands korvane-app the command for that file, whose
  progress window opens and brings in a colleague's change;
- each other command, chosen from the menu, does what commands.py checks in
  korvane-app's window (through the accessibility tree) and the working
  copy, and the badges follow: Revert… (back to normal), Add (added),
  Commit Changes… (the dialog has the file checked; committed, back to
  normal), Ignore of report[1].txt (no badge, report1.txt still
  unversioned), Show in Korvane;
- with the service stopped (SIGSTOP), Nautilus still opens a folder and its
  context menu.
Every wait polls screenshots until two in a row are equal and gives up after
a bound with a message that says what was seen; the screenshot of a failure
is kept and its path printed.
"""
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import commands  # noqa: E402  what each command must do, in korvane-app's windows and the working copy
from commands import Failure  # noqa: E402

BUILD = os.path.abspath(sys.argv[1])
BIN = os.path.join(BUILD, "bin")
SCRATCH = os.environ["KRV_SCRATCH"]
WC = os.path.join(SCRATCH, "wc")
RECEIVED = os.path.join(os.environ["XDG_DATA_HOME"], "group-containers/7QH2MXR5TB.com.korvaneapp.shared",
                        "FinderSync/ReceivedCommands.log")

RED, ORANGE, BLUE, GREY, PURPLE = (255, 59, 48), (255, 149, 0), (0, 122, 255), (142, 142, 147), (175, 82, 222)
BADGE_COLOUR = {"conflicted": RED, "modified": ORANGE, "added": BLUE, "deleted": GREY, "locked": PURPLE,
                "unversioned": GREY}
# File name -> expected badge (None: no badge). Sorted as Nautilus lists them.
FILES = {"added.txt": "added", "clean.txt": None, "conflicted.txt": "conflicted", "deleted.txt": "deleted",
         "locked.txt": "locked", "modified.txt": "modified", "unversioned.txt": "unversioned"}
MENU_TITLES = ["Show in Korvane", "Update", "Commit Changes\u2026", "Add", "Ignore", "Revert\u2026"]

SETTLE_BOUND = 30  # seconds for the screen to stop changing
STATE_BOUND = 60   # seconds for an expected state to show
# Revisions: the sample, a colleague's delete, a colleague's edit of modified.txt.
HEAD_AFTER_COLLEAGUE = "3"
# The root's svn:ignore before Ignore adds to it.
IGNORED = ["*.bak"]


def run(*args, **kwargs):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def log(message):
    print(f"window-test: {message}", flush=True)


# --- The screen -------------------------------------------------------------

class Shot:
    """A screenshot as RGB bytes."""

    def __init__(self, ppm):
        # Binary PPM: "P6\n<w> <h>\n255\n" then the pixels.
        fields, offset = [], 0
        while len(fields) < 4:
            while ppm[offset:offset + 1].isspace():
                offset += 1
            end = offset
            while not ppm[end:end + 1].isspace():
                end += 1
            fields.append(ppm[offset:end])
            offset = end
        if fields[0] != b"P6" or fields[3] != b"255":
            raise Failure(f"a screenshot came as {fields[0]!r} with maximum {fields[3]!r}, not 8-bit P6")
        self.width, self.height = int(fields[1]), int(fields[2])
        self.pixels = ppm[offset + 1:]
        self.ppm = ppm

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def save(self, path):
        subprocess.run(["convert", "ppm:-", path], input=self.ppm, check=True)


def capture():
    return Shot(subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], check=True,
                               stdout=subprocess.PIPE).stdout)


def settle():
    """The screen once two screenshots in a row are equal."""
    deadline = time.monotonic() + SETTLE_BOUND
    previous = capture()
    while True:
        time.sleep(0.4)
        current = capture()
        if current.pixels == previous.pixels:
            return current
        if time.monotonic() > deadline:
            raise Failure(keep(current, f"the screen kept changing for {SETTLE_BOUND} s"))
        previous = current


def keep(shot, message):
    """Keeps the screenshot of a failure outside the scratch folder."""
    path = os.path.join(os.environ.get("KRV_WINDOW_TEST_ARTIFACTS", "/tmp"), f"korvane-nautilus-failure-{os.getpid()}.png")
    shot.save(path)
    return f"{message} (screenshot: {path})"


class Word:
    def __init__(self, text, left, top, width, height):
        self.text, self.left, self.top, self.width, self.height = text, left, top, width, height
        self.right, self.bottom = left + width, top + height
        self.cx, self.cy = left + width // 2, top + height // 2


def read_words(shot, box=None):
    """The words on the screen (or in the box x0, y0, x1, y1) with their
    screen boxes, by OCR at twice the size (small UI text reads much better
    so)."""
    x0, y0, x1, y1 = box or (0, 0, shot.width, shot.height)
    path = os.path.join(SCRATCH, "ocr.png")
    subprocess.run(["convert", "ppm:-", "-crop", f"{x1 - x0}x{y1 - y0}+{x0}+{y0}", "+repage", "-resize", "200%",
                    "-colorspace", "Gray", path], input=shot.ppm, check=True)
    tsv = run("tesseract", path, "-", "--psm", "11", "tsv").stdout
    words = []
    for line in tsv.splitlines()[1:]:
        cells = line.split("\t")
        if len(cells) < 12 or not cells[11].strip() or float(cells[10]) < 30:
            continue
        left, top, width, height = (int(c) // 2 for c in cells[6:10])
        words.append(Word(cells[11].strip(), x0 + left, y0 + top, width, height))
    return words


def popover_box(shot, word):
    """The menu popover holding the word. Without a compositor, the margin a
    popover keeps for its shadow is drawn black: the box reaches from the
    word to the first black pixel left, right and down (or a fixed distance
    when there is none)."""
    def black(x, y):
        return max(shot.pixel(x, y)) < 12

    def reach(x, y, dx, dy, limit):
        steps = 0
        while 0 <= x + dx < shot.width and 0 <= y + dy < shot.height and steps < limit and not black(x + dx, y + dy):
            x, y, steps = x + dx, y + dy, steps + 1
        return x, y
    left, _ = reach(word.cx, word.cy, -1, 0, 160)
    right, _ = reach(word.cx, word.cy, 1, 0, 200)
    _, bottom = reach(word.cx, word.cy, 0, 1, 320)
    return (left, max(0, word.top - 12), right, bottom)


def find_word(words, text):
    # The recognition reads a 1 between letters as l (report1.txt).
    matches = [w for w in words if text in (w.text, w.text.replace("l", "1"))]
    return matches[0] if matches else None


def lines_of(words):
    """Words grouped into lines (same baseline within a few pixels), top to
    bottom, each line's words joined by spaces, with the line's box."""
    lines = []
    for word in sorted(words, key=lambda w: (w.cy, w.left)):
        if lines and abs(lines[-1][-1].cy - word.cy) <= 5:
            lines[-1].append(word)
        else:
            lines.append([word])
    result = []
    for line in lines:
        line.sort(key=lambda w: w.left)
        left, top = min(w.left for w in line), min(w.top for w in line)
        right, bottom = max(w.right for w in line), max(w.bottom for w in line)
        result.append(Word(" ".join(w.text for w in line), left, top, right - left, bottom - top))
    return result


# --- Badges in the pixels ---------------------------------------------------

def near(rgb, colour, tolerance=26):
    return all(abs(a - b) <= tolerance for a, b in zip(rgb, colour))


def badge_seen(shot, box):
    """The badge drawn in the box (x0, y0, x1, y1): the badge colour with the
    most pixels there (at least 40, a 16-pixel badge has about 150), told
    apart by glyph where two badges share a colour; None when there is none.
    Also returns the pixel counts, for messages."""
    x0, y0, x1, y1 = (max(0, v) for v in box)
    x1, y1 = min(x1, shot.width), min(y1, shot.height)
    counts = {name: 0 for name in ("red", "orange", "blue", "grey", "purple")}
    colours = {"red": RED, "orange": ORANGE, "blue": BLUE, "grey": GREY, "purple": PURPLE}
    grey_rows = {}
    for y in range(y0, y1):
        for x in range(x0, x1):
            rgb = shot.pixel(x, y)
            for name, colour in colours.items():
                if near(rgb, colour):
                    counts[name] += 1
                    if name == "grey":
                        grey_rows.setdefault(y, []).append(x)
    best = max(counts, key=counts.get)
    if counts[best] < 40:
        return None, counts
    if best != "grey":
        return {"red": "conflicted", "orange": "modified", "blue": "added", "purple": "locked"}[best], counts
    # Grey: a minus has white enclosed by the circle in a few middle rows
    # only; a question mark has it from near the top to near the bottom.
    rows = sorted(grey_rows)
    enclosed = [y for y in rows
                if any(min(shot.pixel(x, y)) >= 225 for x in range(min(grey_rows[y]), max(grey_rows[y])))]
    spread = (enclosed[-1] - enclosed[0] + 1) / (rows[-1] - rows[0] + 1) if enclosed else 0
    return ("unversioned" if spread > 0.45 else "deleted"), counts


def emblem_box(view, name_word):
    """Where the emblem of the file named by name_word is drawn: in list view
    right after the name on its row; in grid view, at the top right corner of
    the icon above the name (about 60 px right of the name's middle, 95 px
    above it), well inside the file's own tile."""
    if view == "list":
        return (name_word.right + 2, name_word.cy - 12, name_word.right + 40, name_word.cy + 12)
    return (name_word.cx + 20, name_word.top - 120, name_word.cx + 90, name_word.top - 60)


def check_badges(view, expected):
    """Polls until every file shows its expected badge in this view."""
    deadline = time.monotonic() + STATE_BOUND
    words = []
    while True:
        shot = settle()
        # Names stay where they are while badges come and go: read them
        # again only when one is missing.
        if not all(find_word(words, name) for name in expected):
            words = read_words(shot)
        seen, wrong = {}, []
        for name, badge in expected.items():
            word = find_word(words, name)
            if not word:
                seen[name] = "(name not found on screen)"
                wrong.append(name)
                continue
            found, counts = badge_seen(shot, emblem_box(view, word))
            seen[name] = f"{found or 'no badge'} {counts}"
            if found != badge:
                wrong.append(name)
        if not wrong:
            return shot
        if time.monotonic() > deadline:
            details = "; ".join(f"{n}: expected {expected[n] or 'no badge'}, saw {seen[n]}" for n in wrong)
            raise Failure(keep(shot, f"{view} view after {STATE_BOUND} s: {details}"))
        time.sleep(1)


# --- Nautilus -----------------------------------------------------------------

def xdotool(*args):
    return run("xdotool", *[str(a) for a in args]).stdout.strip()


def rest_pointer():
    # Off the file view, so that no row is drawn hovered.
    xdotool("mousemove", 1010, 690)


def key(*keys):
    xdotool("key", "--clearmodifiers", *keys)


def start_nautilus():
    gsettings = ["gsettings", "set", "org.gnome.nautilus.preferences"]
    run(*gsettings, "default-folder-viewer", "list-view")
    log_file = open(os.path.join(SCRATCH, "nautilus.log"), "w")
    # Nautilus stays off the accessibility bus, which is korvane-app's: it is
    # read from the screen.
    nautilus = subprocess.Popen(["nautilus", WC], stdout=log_file, stderr=subprocess.STDOUT,
                                env={**os.environ, "GTK_A11Y": "none"})
    deadline = time.monotonic() + SETTLE_BOUND
    window = ""
    while not window:
        if time.monotonic() > deadline:
            raise Failure(f"no Nautilus window after {SETTLE_BOUND} s")
        time.sleep(0.5)
        window = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "nautilus"],
                                stdout=subprocess.PIPE, text=True).stdout.split("\n")[0].strip()
    # There is no window manager: place and size the window ourselves.
    xdotool("windowmove", window, 0, 0)
    xdotool("windowsize", window, 1024, 700)
    xdotool("windowfocus", window)
    rest_pointer()
    return nautilus


def open_menu_on(name):
    """Right-clicks the file's name and opens the Korvane submenu; returns
    the submenu's lines as read."""
    word = find_word(read_words(settle()), name)
    if not word:
        raise Failure(keep(capture(), f"{name} is not on the screen"))
    xdotool("mousemove", word.cx, word.cy, "click", 3)
    menu = settle()
    korvane = find_word(read_words(menu), "Korvane")
    if not korvane:
        raise Failure(keep(menu, f"the context menu on {name} has no Korvane item"))
    xdotool("mousemove", korvane.cx, korvane.cy, "click", 1)
    # The submenu slides in, headed by its title; its lines are read in the
    # popover only.
    submenu = settle()
    header = find_word(read_words(submenu), "Korvane")
    if not header:
        raise Failure(keep(submenu, f"the Korvane submenu on {name} did not open"))
    return submenu, lines_of(read_words(submenu, popover_box(submenu, header)))


def normalise(title):
    # OCR reads the single-character ellipsis as full stops, or misses it:
    # titles are compared without it (the bus tests pin the exact titles).
    return title.rstrip(".\u2026 ")


def clear_selection():
    # A click on the empty space below the rows clears the selection, whose
    # highlight would hide the name from the text recognition.
    xdotool("mousemove", 600, 685, "click", 1)
    rest_pointer()


def choose(name, title):
    """Chooses Korvane › title on the file; returns the submenu's screenshot
    and lines as read. The file stays selected."""
    clear_selection()
    shot, lines = open_menu_on(name)
    titles = [normalise(line.text) for line in lines]
    if normalise(title) not in titles:
        raise Failure(keep(shot, f"the Korvane submenu on {name} lacks \"{title}\"; read: {titles}"))
    line = lines[titles.index(normalise(title))]
    xdotool("mousemove", line.cx, line.cy, "click", 1)
    rest_pointer()
    return shot, titles


def check_menu_and_update(name):
    """The submenu holds the six commands in order; Update hands korvane-app
    the command, whose window updates the file."""
    shot, titles = choose(name, "Update")
    positions = []
    for title in map(normalise, MENU_TITLES):
        if title not in titles:
            raise Failure(keep(shot, f"the Korvane submenu lacks \"{title}\"; read: {titles}"))
        positions.append(titles.index(title))
    if positions != sorted(positions):
        raise Failure(keep(shot, f"the Korvane submenu's titles are out of order; read: {titles}"))
    expected = f"action: update\npath: {os.path.join(WC, name)}\nactivate: no\n"
    commands.wait_for(f"korvane-app to receive Update for {name}",
                      lambda: os.path.exists(RECEIVED) and expected in open(RECEIVED).read())
    commands.check_update(os.path.join(WC, name), HEAD_AFTER_COLLEAGUE)
    return shot


def badges_show(expected):
    clear_selection()
    check_badges("list", expected)


def check_commands():
    """Revert…, Add, Commit Changes…, Ignore and Show in Korvane from the
    menu: their effect in korvane-app and the working copy, then the badges."""
    def path(name):
        return os.path.join(WC, name)
    choose("modified.txt", "Revert\u2026")
    commands.check_revert(WC, path("modified.txt"))
    badges_show({"modified.txt": None, "unversioned.txt": "unversioned"})
    log("Revert\u2026 listed modified.txt and, confirmed, reverted it: its badge is gone, unversioned files stay")
    choose("new.txt", "Add")
    commands.check_add(WC, path("new.txt"))
    badges_show({"new.txt": "added"})
    log("Add made new.txt added")
    choose("new.txt", "Commit Changes\u2026")
    commands.check_commit(WC, path("new.txt"), "Added from Nautilus")
    badges_show({"new.txt": None})
    log("Commit Changes\u2026 opened the dialog with new.txt checked; once committed, its badge is gone")
    before = commands.unversioned(WC)
    choose("report[1].txt", "Ignore")
    commands.check_ignore(WC, path("report[1].txt"), before, IGNORED)
    badges_show({"report[1].txt": None, "report1.txt": "unversioned"})
    log("Ignore hid exactly report[1].txt; report1.txt stays unversioned")
    choose("clean.txt", "Show in Korvane")
    commands.check_reveal(WC)
    log("Show in Korvane opened the working copy's window")


# --- The scenario ---------------------------------------------------------------

def make_working_copy():
    repo = os.path.join(SCRATCH, "repo")
    run("svnadmin", "create", repo)
    run("svn", "checkout", "-q", f"file://{repo}", WC)
    os.mkdir(os.path.join(WC, "docs"))
    with open(os.path.join(WC, "docs", "inner.txt"), "w") as f:
        f.write("inner\n")
    for name in ("clean", "conflicted", "deleted", "locked", "modified"):
        with open(os.path.join(WC, f"{name}.txt"), "w") as f:
            f.write(f"{name}\n")
    run("svn", "add", "-q", *[os.path.join(WC, n) for n in ("docs", "clean.txt", "conflicted.txt", "deleted.txt",
                                                             "locked.txt", "modified.txt")])
    run("svn", "commit", "-q", "-m", "Sample", WC)
    # A tree conflict (edited here, deleted by a colleague) leaves no extra files.
    colleague = os.path.join(SCRATCH, "colleague")
    run("svn", "checkout", "-q", f"file://{repo}", colleague)
    run("svn", "delete", "-q", os.path.join(colleague, "conflicted.txt"))
    run("svn", "commit", "-q", "-m", "Gone", colleague)
    with open(os.path.join(WC, "conflicted.txt"), "a") as f:
        f.write("mine\n")
    run("svn", "update", "-q", "--accept", "postpone", WC)
    with open(os.path.join(WC, "added.txt"), "w") as f:
        f.write("added\n")
    run("svn", "add", "-q", os.path.join(WC, "added.txt"))
    run("svn", "delete", "-q", "--keep-local", os.path.join(WC, "deleted.txt"))
    run("svn", "lock", "-q", os.path.join(WC, "locked.txt"))
    with open(os.path.join(WC, "modified.txt"), "a") as f:
        f.write("changed\n")
    with open(os.path.join(WC, "unversioned.txt"), "w") as f:
        f.write("unversioned\n")


def install_extension():
    """Registers the working copy and lets the bus start finder-extension
    when the module first calls it, as on a user's desktop."""
    run(os.path.join(BIN, "korvane-app"), "install-desktop-entry")
    run(os.path.join(BIN, "korvane-app"), "register", WC)
    run(os.path.join(BIN, "finder-extension"), "--install-service")


def extension_pid():
    """The process id of finder-extension, once Nautilus's module has had
    the bus start it."""
    name = "com.korvaneapp.v3.FinderSync"
    run("gdbus", "wait", "--session", "--timeout", str(STATE_BOUND), name)
    reply = run("gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path", "/org/freedesktop/DBus",
                "--method", "org.freedesktop.DBus.GetConnectionUnixProcessID", name).stdout
    return int(reply.strip("()\n, ").split()[-1])


def scenario():
    make_working_copy()
    # For Add and Ignore: an unversioned file to add; a name that is a
    # pattern of its own, beside a file that pattern would match.
    for name in ("new.txt", "report[1].txt", "report1.txt"):
        with open(os.path.join(WC, name), "w") as f:
            f.write(f"{name}\n")
    run("svn", "propset", "-q", "svn:ignore", "\n".join(IGNORED), WC)
    install_extension()
    bus = commands.start_accessibility_bus()
    nautilus = start_nautilus()
    extension = None
    try:
        extension = extension_pid()
        shots = os.environ.get("KRV_WINDOW_TEST_SHOTS")
        for view, keys in (("list", "ctrl+1"), ("grid", "ctrl+2")):
            key(keys)
            rest_pointer()
            shot = check_badges(view, FILES)
            if shots:
                shot.save(os.path.join(shots, f"{view}.png"))
            log(f"{view} view: each file shows its badge next to its name, clean.txt none")
        key("ctrl+1")
        rest_pointer()

        with open(os.path.join(WC, "clean.txt"), "a") as f:
            f.write("edited\n")
        check_badges("list", {**FILES, "clean.txt": "modified"})
        log("clean.txt edited on disk: shows modified after the quiet period")
        run("svn", "revert", "-q", os.path.join(WC, "clean.txt"))
        check_badges("list", FILES)
        log("after svn revert: clean.txt's badge is gone")

        # A colleague's change to modified.txt, for Update to bring in.
        colleague = os.path.join(SCRATCH, "colleague")
        run("svn", "update", "-q", colleague)
        with open(os.path.join(colleague, "modified.txt"), "w") as f:
            f.write("from a colleague\nmodified\n")
        run("svn", "commit", "-q", "-m", "Colleague", colleague)
        shot = check_menu_and_update("modified.txt")
        if shots:
            shot.save(os.path.join(shots, "menu.png"))
        log("the context menu on modified.txt holds Korvane with the six commands; Update opened its window and updated the file")
        check_commands()

        os.kill(extension, signal.SIGSTOP)
        try:
            docs = find_word(read_words(settle()), "docs")
            if not docs:
                raise Failure(keep(capture(), "the docs folder is not on the screen"))
            xdotool("mousemove", docs.cx, docs.cy, "click", "--repeat", 2, "--delay", 80, 1)
            rest_pointer()
            deadline = time.monotonic() + STATE_BOUND
            while not find_word(read_words(settle()), "inner.txt"):
                if time.monotonic() > deadline:
                    raise Failure(keep(capture(), "with the service stopped, Nautilus did not show the docs folder"))
            shot, lines = open_menu_on("inner.txt")
            if "Update" not in [normalise(line.text) for line in lines]:
                raise Failure(keep(shot, "with the service stopped, the Korvane submenu did not open"))
            key("Escape")
            log("with the service stopped: Nautilus opened a folder and the Korvane menu")
        finally:
            os.kill(extension, signal.SIGCONT)
    finally:
        if extension:
            os.kill(extension, signal.SIGTERM)
        for process in (nautilus, bus):
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()


def main():
    for tool in ("tesseract", "convert", "svn", "svnadmin", "gsettings", "gdbus"):
        if not shutil.which(tool):
            print(f"window-test: {tool} is not installed (scripts/setup installs it)", file=sys.stderr)
            return 1
    started = time.monotonic()
    try:
        scenario()
    except Failure as failure:
        print(f"window-test: FAILED: {failure}", file=sys.stderr)
        return 1
    log(f"passed in {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
