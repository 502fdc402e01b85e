"""What each Korvane command chosen in a file manager's menu must visibly do,
shared by the file managers' window tests: korvane-app's window, read and
pressed through the accessibility tree, and the working copy as svn sees it.
Every window a check opens is closed before it returns, so that it covers
nothing the next step clicks. The caller chooses the command in its file
manager's menu, then calls the check; every wait is a bounded poll.

start_accessibility_bus() must run before the first program starts: an
application that starts before the registry never appears in the tree."""
import os
import subprocess
import time

import pyatspi

BOUND = 60  # seconds for an expected state to show
# Where close() leaves a screenshot of each window before closing it; none
# when empty.
shots = os.environ.get("KRV_WINDOW_TEST_SHOTS", "")


class Failure(Exception):
    pass


def failure(message):
    """A Failure naming the screenshot kept of the screen as it was."""
    path = os.path.join(os.environ.get("KRV_WINDOW_TEST_ARTIFACTS", "/tmp"), f"korvane-command-failure-{os.getpid()}.png")
    subprocess.run(["import", "-window", "root", path], capture_output=True)
    return Failure(f"{message} (screenshot: {path})")


def run(*args):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True).stdout


def wait_for(what, condition, bound=BOUND):
    """condition()'s first true value; what (or what(), said when giving up)
    names it."""
    deadline = time.monotonic() + bound
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise failure(f"gave up after {bound} s waiting for {what() if callable(what) else what}")
        time.sleep(0.2)


def start_accessibility_bus():
    """Starts the accessibility bus and its registry on the session bus, as
    a desktop session does; returns the launcher's process."""
    launcher = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    run("gdbus", "wait", "--session", "--timeout", "20", "org.a11y.Bus")
    # Asking for the desktop starts the registry.
    pyatspi.Registry.getDesktop(0).childCount
    return launcher


# --- korvane-app's windows ------------------------------------------------------

def role(node):
    try:
        return node.getRole()
    except Exception:  # a node that went away
        return None


def descendants(node):
    stack = [node]
    while stack:
        current = stack.pop()
        if current is None:
            continue
        yield current
        try:
            stack.extend(current.getChildAtIndex(i) for i in reversed(range(current.childCount)))
        except Exception:
            continue


def find_window(title):
    desktop = pyatspi.Registry.getDesktop(0)
    for application in (desktop.getChildAtIndex(i) for i in range(desktop.childCount)):
        if application is None or application.name != "korvane-app":
            continue
        for window in (application.getChildAtIndex(j) for j in range(application.childCount)):
            if window is not None and window.name == title:
                return window
    return None


def window(title):
    return wait_for(f"korvane-app's window {title!r}", lambda: find_window(title))


def labels(window):
    return [node.name for node in descendants(window) if role(node) == pyatspi.ROLE_LABEL]


def label_containing(window, text):
    return wait_for(lambda: f"{text!r} in {window.name!r} (it reads {labels(window)})",
                    lambda: next((label for label in labels(window) if text in label), None))


def sensitive_button(window, name):
    return next((node for node in descendants(window) if role(node) == pyatspi.ROLE_PUSH_BUTTON
                 and node.name == name and node.getState().contains(pyatspi.STATE_SENSITIVE)), None)


def press(window, name):
    wait_for(f"a sensitive button {name!r} in {window.name!r}",
             lambda: sensitive_button(window, name)).queryAction().doAction(0)


def list_rows(window, list_name):
    """The rows of the list named list_name: their labels' or check boxes' nodes."""
    for node in descendants(window):
        if role(node) == pyatspi.ROLE_LIST and node.name == list_name:
            return [row for row in descendants(node) if role(row) in (pyatspi.ROLE_LABEL, pyatspi.ROLE_CHECK_BOX)]
    return []


def close(window):
    title = window.name
    if shots:
        name = "app-" + "".join(c if c.isalnum() else "-" for c in title.split(" \u2014 ")[0]).lower()
        run("import", "-window", "root", os.path.join(shots, name + ".png"))
    press(window, "Close")
    wait_for(f"{title!r} to close", lambda: find_window(title) is None)


# --- The working copy ---------------------------------------------------------

def status(wc):
    """svn status of the working copy: path -> its first column."""
    return {line[8:]: line[0] for line in run("svn", "status", wc).splitlines() if line[:1] != " " or line[1] != " "}


def unversioned(wc):
    return sorted(path for path, letter in status(wc).items() if letter == "?")


def read(path):
    with open(path) as f:
        return f.read()


# --- The commands --------------------------------------------------------------

def check_update(path, revision):
    """Update: its progress window ends with the summary, and path is at revision."""
    progress = window(f"Update {os.path.basename(path)}")
    label_containing(progress, f"Updated to revision {revision}")
    at = run("svn", "info", "--show-item", "revision", path).strip()
    if at != revision:
        raise failure(f"after Update, {path} is at revision {at}, not {revision}")
    close(progress)


def check_revert(wc, path):
    """Revert…: the confirmation lists exactly path; once confirmed, path
    holds its base text and every unversioned file stays."""
    kept = unversioned(wc)
    confirm = window("Revert")
    wait_for("the items to revert", lambda: list_rows(confirm, "Items to revert"))
    listed = [row.name.split(None, 1)[-1] for row in list_rows(confirm, "Items to revert")]
    if listed != [path]:
        raise failure(f"Revert\u2026 on {path} lists {listed}")
    press(confirm, "Revert")
    label_containing(confirm, "Reverted 1 item")
    close(confirm)
    base = run("svn", "cat", "-r", "BASE", path)
    if read(path) != base or path in status(wc) or unversioned(wc) != kept:
        raise failure(f"after Revert\u2026: {path} reads {read(path)!r} (base {base!r}); status {status(wc)}")


def check_add(wc, path):
    """Add: done without a window; svn status says A."""
    wait_for(lambda: f"svn status to say A for {path} (it says {status(wc)})", lambda: status(wc).get(path) == "A")


def check_ignore(wc, path, before, kept_patterns):
    """Ignore: exactly path leaves svn status's unversioned list (before is
    that list taken before choosing Ignore), and the parent's svn:ignore
    keeps the patterns it had."""
    if path not in before:
        raise failure(f"{path} was not unversioned before Ignore: {before}")
    wait_for(lambda: f"{path} to leave the unversioned list {unversioned(wc)}", lambda: path not in unversioned(wc))
    ignores = run("svn", "propget", "svn:ignore", os.path.dirname(path)).split()
    if unversioned(wc) != [p for p in before if p != path] or not set(kept_patterns) < set(ignores):
        raise failure(f"after Ignore of {path}: unversioned {unversioned(wc)} (before: {before}); "
                      f"svn:ignore {ignores}, expected {kept_patterns} and one more")


def check_reveal(wc):
    """Show in Korvane: the working-copy window opens for wc."""
    shown = window(f"Korvane \u2014 {wc}")
    label_containing(shown, f"Working copy: {wc}")
    close(shown)


def check_commit(wc, path, message):
    """Commit Changes…: the dialog lists path checked; committing it with
    the message leaves path unchanged in svn status."""
    dialog = window("Commit")
    rows = wait_for("the items to commit", lambda: list_rows(dialog, "Items to commit"))
    chosen = [row for row in rows if row.name.split("    ")[-1] == path]
    if not chosen or not chosen[0].getState().contains(pyatspi.STATE_CHECKED):
        raise failure(f"the commit dialog does not list {path} checked: {[row.name for row in rows]}")
    text = next(node for node in descendants(dialog) if role(node) == pyatspi.ROLE_TEXT and node.name == "Message")
    text.queryEditableText().setTextContents(message)
    press(dialog, "Commit")
    label_containing(dialog, "Committed revision")
    close(dialog)
    if path in status(wc):
        raise failure(f"after the commit, svn status still lists {path}: {status(wc)}")
