#!/usr/bin/env python3
"""korvane-app's windows on a virtual display, read and pressed through the
accessibility tree, against real file:// repositories.

Runs inside run-window-test (private buses, home, keyring and X display).
Each command is handed over as the extension does: a command file and
`korvane-app open-url URL`. Checks what a user sees and what svn finds:
- Update of an out-of-date file updates it and ends with the summary; an
  update that conflicts names the conflict; Cancel stops a long update and
  leaves a working copy `svn status` reads without a cleanup;
- Revert… lists exactly what `svn revert -R` reverts; Cancel reverts
  nothing; confirming reverts exactly those, and unversioned files stay;
- a second launch hands its command to the running instance;
- a working copy locked by another svn gives a clear message;
- Show in Korvane shows the working copy with the chosen item selected,
  Revert… and Commit… there act on the selection, and
  Stop Showing Status unregisters it; a failed Add names the item; Ignore
  works without a window;
- a wrong password ends in a clear message; the right one, remembered, is
  kept in the keyring and not asked again; the password and certificate
  dialogs are transient for the window of the command that asked;
- Commit… lists every change with a check box, unversioned ones unchecked;
  Commit stays insensitive while the message is blank; selecting an item
  shows its diff; the new revision holds exactly the checked items with the
  message typed; an out-of-date commit keeps the message and the checks and
  offers Update, and its message is the first to pick next time; a
  conflicted item cannot be checked;
- svn+ssh through a loopback sshd (as root) uses the password stored with
  store-password, without a prompt;
- an update over https (apache2 on loopback, a self-signed certificate for
  another name) asks about the certificate, showing what openssl says of
  it; Reject changes nothing, Accept Once updates and the next command asks
  again, Accept Permanently stores it in svn's auth area and is not asked
  again.
Every wait is a bounded poll.
"""
import datetime
import os
import plistlib
import shutil
import socket
import subprocess
import time
import uuid
import xml.etree.ElementTree as ElementTree

import pyatspi

from https_repository import HttpsRepositories

BIN = os.path.join(os.environ["KRV_BUILD"], "bin")
SCRATCH = os.environ["KRV_SCRATCH"]
SHOTS = os.environ.get("KRV_SHOTS", "")
FINDER_SYNC = os.path.join(os.environ["XDG_DATA_HOME"], "group-containers/7QH2MXR5TB.com.korvaneapp.shared",
                           "FinderSync")
BOUND = 60  # seconds for an expected state to show


class Failure(Exception):
    pass


def log(message):
    print(f"app-window-test: {message}", flush=True)


def run(*args, cwd=None):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          cwd=cwd).stdout


def wait_for(what, condition, bound=BOUND):
    deadline = time.monotonic() + bound
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"gave up waiting for {what}")
        time.sleep(0.1)


# --- Handing over commands ----------------------------------------------------

def send(action, paths):
    """Writes a command file and opens its URL; returns the launched process."""
    identifier = str(uuid.uuid4()).upper()
    os.makedirs(os.path.join(FINDER_SYNC, "Commands"), exist_ok=True)
    with open(os.path.join(FINDER_SYNC, "Commands", identifier + ".plist"), "wb") as f:
        plistlib.dump({"action": action, "paths": paths, "date": datetime.datetime.utcnow()}, f)
    return subprocess.Popen([os.path.join(BIN, "korvane-app"), "open-url",
                             f"korvane://finder-sync-command?id={identifier}"],
                            stdout=subprocess.DEVNULL)


# --- The accessibility tree ---------------------------------------------------

def descendants(node, into_lists=False):
    """The nodes below node; the rows of lists only when into_lists, as a
    long list makes every walk slow."""
    stack = [node]
    while stack:
        current = stack.pop()
        if current is None:
            continue
        yield current
        if not into_lists and current is not node and role(current) == pyatspi.ROLE_LIST:
            continue
        try:
            stack.extend(current.getChildAtIndex(i) for i in reversed(range(current.childCount)))
        except Exception:  # a node that went away while we walked
            continue


def role(node):
    try:
        return node.getRole()
    except Exception:
        return None


def windows(title):
    desktop = pyatspi.Registry.getDesktop(0)
    found = []
    for i in range(desktop.childCount):
        application = desktop.getChildAtIndex(i)
        if application is None:
            continue
        for j in range(application.childCount):
            window = application.getChildAtIndex(j)
            if window is not None and window.name.startswith(title):
                found.append(window)
    return found


def window(title):
    return wait_for(f"a window titled {title!r}", lambda: (windows(title) or [None])[0])


def x_window(title):
    """The X window titled `title`, or None while there is not exactly one."""
    found = subprocess.run(["xdotool", "search", "--name", f"^{title}$"], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True).stdout.split()
    return int(found[0]) if len(found) == 1 else None


def wait_attached(dialog, owner):
    """Waits until the dialog is transient for the owner window, as a window manager reads it."""
    def attached():
        ids = x_window(dialog), x_window(owner)
        return None not in ids and run("xprop", "-id", str(ids[0]), "WM_TRANSIENT_FOR").split()[-1] == hex(ids[1])
    wait_for(f"{dialog!r} attached to {owner!r}", attached)


def labels(window):
    return [node.name for node in descendants(window) if role(node) == pyatspi.ROLE_LABEL]


def list_items(window, list_name):
    """The texts of the rows of the list named list_name."""
    for node in descendants(window):
        if role(node) == pyatspi.ROLE_LIST and node.name == list_name:
            return [row.name for row in descendants(node, into_lists=True) if role(row) == pyatspi.ROLE_LABEL]
    return []


def button(window, name):
    for node in descendants(window):
        if role(node) == pyatspi.ROLE_PUSH_BUTTON and node.name == name:
            return node
    raise Failure(f"no button {name!r} in {window.name!r}; labels: {labels(window)[:10]}")


def press(window, name):
    button(window, name).queryAction().doAction(0)


def label_containing(window, text):
    try:
        return wait_for(f"{text!r} in {window.name!r}",
                        lambda: next((label for label in labels(window) if text in label), None))
    except Failure as failure:
        raise Failure(f"{failure}; it shows {labels(window)[:10]}")


def screenshot(name, size="640x400"):
    """Saves the screen once two captures in a row are equal."""
    if not SHOTS:
        return
    path = os.path.join(SHOTS, name)
    previous = None
    deadline = time.monotonic() + BOUND
    while time.monotonic() < deadline:
        # The windows open at the top left of the screen, most 640x400.
        run("import", "-window", "root", "-crop", f"{size}+0+0", "+repage", path)
        with open(path, "rb") as f:
            current = f.read()
        if current == previous:
            return
        previous = current
        time.sleep(0.3)


# --- Working copies -----------------------------------------------------------

def repository(name, files):
    repo = os.path.join(SCRATCH, name)
    run("svnadmin", "create", repo)
    wc = os.path.join(SCRATCH, name + "-wc")
    run("svn", "checkout", "-q", f"file://{repo}", wc)
    for path, text in files.items():
        os.makedirs(os.path.dirname(os.path.join(wc, path)), exist_ok=True)
        with open(os.path.join(wc, path), "w") as f:
            f.write(text)
    run("svn", "add", "-q", "--force", ".", cwd=wc)
    run("svn", "commit", "-q", "-m", "first", cwd=wc)
    run("svn", "update", "-q", cwd=wc)
    return repo, wc


def copy(wc, name):
    target = os.path.join(SCRATCH, name)
    shutil.copytree(wc, target, symlinks=True)
    return target


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def read(path):
    with open(path) as f:
        return f.read()


def status(wc):
    return run("svn", "status", wc)


# --- Scenarios ----------------------------------------------------------------

def update_and_conflict():
    repo, wc = repository("small", {"a.txt": "a\n", "b.txt": "b\n"})
    behind = copy(wc, "behind")
    conflicting = copy(wc, "conflicting")
    write(os.path.join(wc, "a.txt"), "a, theirs\n")
    write(os.path.join(wc, "b.txt"), "b, theirs\n")
    run("svn", "commit", "-q", "-m", "theirs", wc)

    app = send("update", [os.path.join(behind, "a.txt")])
    progress = window("Update a.txt")
    label_containing(progress, "Updated to revision 2.")
    label_containing(progress, "1 updated.")
    items = list_items(progress, "Updated items")
    if items != [f"U    {behind}/a.txt"]:
        raise Failure(f"the update listed {items}")
    if read(os.path.join(behind, "a.txt")) != "a, theirs\n":
        raise Failure("a.txt was not updated")
    screenshot("update.png")
    press(progress, "Close")
    log("update of an out-of-date file: updated, listed with U, summary 'Updated to revision 2.'")

    write(os.path.join(conflicting, "b.txt"), "b, mine\n")
    send("update", [conflicting])
    progress = window("Update conflicting")
    label_containing(progress, "Conflicts:")
    label_containing(progress, f"{conflicting}/b.txt")
    press(progress, "Close")
    log("update into a local change: the summary names the conflict")
    app.wait(timeout=BOUND)


def cancel_long_update():
    """An update through a slow tunnel, cancelled once its first item shows."""
    config = os.path.join(FINDER_SYNC, "SubversionConfig")
    os.makedirs(config, exist_ok=True)
    write(os.path.join(config, "config"),
          f"[tunnels]\nslow = /usr/bin/python3 {os.path.dirname(os.path.abspath(__file__))}/slow_tunnel.py\n")
    repo, wc = repository("big", {f"many/f{i}": f"{i}\n" * 200 for i in range(400)})
    run("svn", "update", "-q", "-r", "0", wc)
    run("svn", "--config-dir", config, "relocate", f"file://{repo}", f"svn+slow://localhost{repo}", wc)
    app = send("update", [wc])
    progress = window("Update big-wc")
    # Found before the list fills, so pressing it takes no walk of the rows.
    cancel = button(progress, "Cancel")
    items = next(node for node in descendants(progress)
                 if role(node) == pyatspi.ROLE_LIST and node.name == "Updated items")
    wait_for("the first updated item", lambda: items.childCount > 0)
    cancel.queryAction().doAction(0)
    label_containing(progress, "cancelled")
    updated = len(os.listdir(os.path.join(wc, "many"))) if os.path.isdir(os.path.join(wc, "many")) else 0
    if updated >= 400:
        raise Failure("the update finished before Cancel stopped it")
    result = subprocess.run(["svn", "status", wc], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0 or "  L " in result.stdout:
        raise Failure(f"svn status after cancel: {result.returncode} {result.stdout[:300]} {result.stderr}")
    press(progress, "Close")
    app.wait(timeout=BOUND)
    shutil.rmtree(config)
    log(f"Cancel stopped the update after {updated} of 400 files; svn status reads the working copy as it is")


def revert_and_locked():
    repo, wc = repository("revert", {"a.txt": "a\n", "b.txt": "b\n", "sub/c.txt": "c\n"})
    locked = copy(wc, "locked")
    write(os.path.join(wc, "a.txt"), "a, changed\n")
    write(os.path.join(wc, "sub/new.txt"), "new\n")
    run("svn", "add", "-q", os.path.join(wc, "sub/new.txt"))
    run("svn", "delete", "-q", os.path.join(wc, "b.txt"))
    write(os.path.join(wc, "loose.txt"), "unversioned\n")
    before = status(wc)
    # What svn itself reverts, from a copy.
    probe = copy(wc, "probe")
    expected = sorted(line.split("'")[1].replace(probe, wc) for line in
                      run("svn", "revert", "-R", probe).splitlines())

    app = send("revert", [wc])
    confirm = window("Revert")
    label_containing(confirm, f"Revert {len(expected)} items?")
    listed = sorted(item.split("    ", 1)[1] for item in list_items(confirm, "Items to revert"))
    if listed != expected:
        raise Failure(f"Revert listed {listed}, svn reverts {expected}")

    # While the application runs, a second launch hands it the command and ends.
    run("sqlite3", os.path.join(locked, ".svn/wc.db"), "INSERT INTO wc_lock VALUES (1, '', -1)")
    second = send("update", [locked])
    if second.wait(timeout=BOUND) != 0:
        raise Failure("the second launch failed")
    progress = window("Update locked")
    message = label_containing(progress, "locked")
    if not message.startswith("Could not update"):
        raise Failure(f"the message for a locked working copy: {message!r}")
    press(progress, "Close")
    log(f"a second launch reached the running instance; a working copy locked by another svn: {message!r}")

    press(confirm, "Cancel")
    app.wait(timeout=BOUND)
    if status(wc) != before:
        raise Failure("Cancel changed the working copy")
    log("Revert… lists exactly what svn reverts; Cancel reverts nothing")

    app = send("revert", [wc])
    confirm = window("Revert")
    label_containing(confirm, f"Revert {len(expected)} items?")
    screenshot("revert.png")
    press(confirm, "Revert")
    label_containing(confirm, f"Reverted {len(expected)} items.")
    if sorted(status(wc).splitlines()) != sorted([f"?       {wc}/loose.txt", f"?       {wc}/sub/new.txt"]):
        raise Failure(f"after Revert: {status(wc)}")
    if read(os.path.join(wc, "loose.txt")) != "unversioned\n" or read(os.path.join(wc, "a.txt")) != "a\n":
        raise Failure("Revert touched what it should not")
    press(confirm, "Close")
    app.wait(timeout=BOUND)
    log("Revert reverted exactly those items; unversioned files stayed")


def reveal_add_and_ignore():
    repo, wc = repository("shown", {"a.txt": "a\n", "b.txt": "b\n"})
    write(os.path.join(wc, "a.txt"), "a, changed\n")
    write(os.path.join(wc, "report[1].txt"), "ignore me\n")
    write(os.path.join(wc, "report1.txt"), "keep me\n")
    run(os.path.join(BIN, "korvane-app"), "register", wc)

    app = send("reveal", [os.path.join(wc, "a.txt")])
    shown = window("Korvane — ")
    label_containing(shown, f"Working copy: {wc}\nRepository: file://{repo}\nRevision: 1")
    rows = {}
    for node in descendants(shown, into_lists=True):
        if role(node) == pyatspi.ROLE_LIST_ITEM:
            text = " ".join(child.name for child in descendants(node) if role(child) == pyatspi.ROLE_LABEL)
            rows[text] = node.getState().contains(pyatspi.STATE_SELECTED)
    expected = {f"modified    modified    {wc}/a.txt": True,
                f"unversioned    unversioned    {wc}/report1.txt": False,
                f"unversioned    unversioned    {wc}/report[1].txt": False}
    if rows != expected:
        raise Failure(f"the working-copy window shows {rows}")
    log("Show in Korvane: root, URL, revision and the changed items, the chosen one selected")
    press(shown, "Revert…")
    confirm = window("Revert")
    label_containing(confirm, "Revert 1 item?")
    if list_items(confirm, "Items to revert") != [f"M    {wc}/a.txt"]:
        raise Failure(f"Revert… from the selection listed {list_items(confirm, 'Items to revert')}")
    press(confirm, "Cancel")
    log("Revert… in the working-copy window acts on the selection")
    press(shown, "Commit…")
    dialog = window("Commit")
    item_box(dialog, f"{wc}/a.txt")
    listed = [box.name for box in check_boxes(dialog, "Items to commit")]
    if len(listed) != 1:
        raise Failure(f"Commit… from the selection listed {listed}")
    press(dialog, "Cancel")
    gone("Commit")
    log("Commit… in the working-copy window opens the commit dialog on the selection")

    # Add: a failure names the item and svn's reason; Ignore: nothing shown.
    send("add", [os.path.join(SCRATCH, "outside.txt")])
    message = label_containing(window("Add"), f"Could not add {SCRATCH}/outside.txt: ")
    press(window("Add"), "Close")
    send("ignore", [os.path.join(wc, "report[1].txt")])
    # Until Ignore has run, the folder has no svn:ignore and propget fails.
    wait_for("the ignore pattern", lambda: "report\\[1\\].txt" in subprocess.run(
        ["svn", "propget", "svn:ignore", wc], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout)
    if windows("Ignore"):
        raise Failure("Ignore showed a window although it worked")
    if "report1.txt" not in status(wc) or "report[1].txt" in status(wc):
        raise Failure(f"after Ignore: {status(wc)}")
    log(f"Add of an unversionable item: {message!r}; Ignore hid exactly report[1].txt and showed nothing")

    press(shown, "Stop Showing Status")
    label_containing(window("Stop Showing Status"), f"no longer shows the Subversion status of {wc}")
    press(window("Stop Showing Status"), "Close")
    if wc in run(os.path.join(BIN, "korvane-app"), "list"):
        raise Failure("the working copy is still registered")
    press(shown, "Close")
    app.wait(timeout=BOUND)
    log("Stop Showing Status unregistered the working copy")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def accepts(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def update_over_ssh():
    """svn+ssh through a loopback sshd, the password stored with
    store-password and given to ssh by keychain-askpass: no prompt."""
    user = f"krvapp{os.getpid()}"
    password = uuid.uuid4().hex
    run("useradd", "--create-home", "--shell", "/bin/sh", user)
    sshd = None
    try:
        subprocess.run(["chpasswd"], input=f"{user}:{password}\n", text=True, check=True)
        port = free_port()
        run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(SCRATCH, "host_key"))
        write(os.path.join(SCRATCH, "sshd_config"),
              f"ListenAddress 127.0.0.1\nPort {port}\nHostKey {SCRATCH}/host_key\nPidFile {SCRATCH}/sshd.pid\n"
              "PasswordAuthentication yes\nKbdInteractiveAuthentication no\nPubkeyAuthentication no\n"
              f"UsePAM yes\nAllowUsers {user}\n")
        os.makedirs("/run/sshd", exist_ok=True)
        sshd = subprocess.Popen(["/usr/sbin/sshd", "-D", "-f", os.path.join(SCRATCH, "sshd_config"),
                                 "-E", os.path.join(SCRATCH, "sshd.log")])
        wait_for("sshd to listen", lambda: accepts(port))

        os.chmod(SCRATCH, 0o755)
        repo, wc = repository("remote", {"a.txt": "a\n"})
        run("chmod", "-R", "a+rwX", repo)
        other = copy(wc, "remote-other")
        write(os.path.join(other, "a.txt"), "a, over ssh\n")
        run("svn", "commit", "-q", "-m", "theirs", other)
        subprocess.run([os.path.join(BIN, "korvane-app"), "store-password", "svn+ssh://127.0.0.1/repos", user],
                       input=password, text=True, check=True, stdout=subprocess.DEVNULL)
        config = os.path.join(FINDER_SYNC, "SubversionConfig")
        os.makedirs(config, exist_ok=True)
        os.makedirs(os.path.join(os.environ["HOME"], ".ssh"), exist_ok=True)
        write(os.path.join(config, "config"),
              f"[tunnels]\nssh = ssh -p {port} -o UserKnownHostsFile={os.environ['HOME']}/.ssh/known_hosts "
              "-o StrictHostKeyChecking=ask -o PreferredAuthentications=password -o NumberOfPasswordPrompts=1\n")
        # The same tunnel for svn's own relocate, which connects once.
        subprocess.run(["setsid", "svn", "--config-dir", config, "relocate", f"file://{repo}",
                        f"svn+ssh://{user}@127.0.0.1{repo}", wc], check=True, stdin=subprocess.DEVNULL,
                       env={**os.environ, "SSH_ASKPASS": os.path.join(BIN, "keychain-askpass"),
                            "SSH_ASKPASS_REQUIRE": "force"})

        app = send("update", [os.path.join(wc, "a.txt")])
        progress = window("Update a.txt")
        label_containing(progress, "Updated to revision 2.")
        if read(os.path.join(wc, "a.txt")) != "a, over ssh\n" or windows("Authentication"):
            raise Failure("the update over svn+ssh did not update a.txt without asking")
        press(progress, "Close")
        app.wait(timeout=BOUND)
        shutil.rmtree(config)
        log("svn+ssh through a loopback sshd: updated with the stored password, no prompt")
    finally:
        if sshd:
            sshd.kill()
            sshd.wait()
        subprocess.run(["userdel", "-r", user], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def answer_password(password, remember):
    """Fills in the next password dialog through the accessibility tree."""
    dialog = window("Authentication")
    for node in descendants(dialog):
        if role(node) in (pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY, pyatspi.ROLE_PASSWORD_TEXT):
            if node.name == "User name":
                node.queryEditableText().setTextContents("alice")
            elif node.name == "Password":
                node.queryEditableText().setTextContents(password)
        if role(node) == pyatspi.ROLE_CHECK_BOX and remember:
            # GTK offers no action on a check box; a click where it is.
            box = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
            run("xdotool", "mousemove", str(box.x + box.width // 2), str(box.y + box.height // 2), "click", "1")
            wait_for("Remember to be ticked", lambda: node.getState().contains(pyatspi.STATE_CHECKED))
    press(dialog, "Log In")

    def gone():
        try:
            return dialog.getState().contains(pyatspi.STATE_DEFUNCT) or dialog.childCount == 0
        except Exception:
            return True
    wait_for("the dialog to close", gone)


def passwords():
    """A password-protected svnserve: a wrong password ends in a clear
    message and changes nothing; the right one, remembered, is asked once."""
    repo, wc = repository("guarded", {"a.txt": "a\n"})
    write(os.path.join(repo, "conf/svnserve.conf"),
          "[general]\nanon-access = none\nauth-access = write\npassword-db = passwd\n")
    write(os.path.join(repo, "conf/passwd"), "[users]\nalice = right\n")
    other = copy(wc, "guarded-other")
    write(os.path.join(other, "a.txt"), "a, guarded\n")
    run("svn", "commit", "-q", "-m", "theirs", other)
    port = free_port()
    server = subprocess.Popen(["svnserve", "-d", "--foreground", "--listen-host", "127.0.0.1", "--listen-port",
                               str(port), "-r", repo])
    try:
        wait_for("svnserve to listen", lambda: accepts(port))
        url = f"svn://127.0.0.1:{port}"
        run("svn", "relocate", "--username", "alice", "--password", "right", "--no-auth-cache",
            "--non-interactive", f"file://{repo}", url, wc)
        app = send("update", [wc])
        progress = window("Update guarded-wc")
        for _ in range(3):  # the first answer and svn's two retries
            answer_password("wrong", remember=False)
        message = label_containing(progress, "Password incorrect")
        if read(os.path.join(wc, "a.txt")) != "a\n":
            raise Failure("a refused update changed a.txt")
        press(progress, "Close")
        app.wait(timeout=BOUND)
        log(f"a wrong password: {message!r}; nothing changed")

        app = send("update", [wc])
        progress = window("Update guarded-wc")
        wait_attached("Authentication", "Update guarded-wc")
        answer_password("right", remember=True)
        label_containing(progress, "Updated to revision 2.")
        press(progress, "Close")
        app.wait(timeout=BOUND)
        write(os.path.join(other, "a.txt"), "a, once more\n")
        run("svn", "commit", "-q", "-m", "again", other)
        app = send("update", [wc])
        progress = window("Update guarded-wc")
        label_containing(progress, "Updated to revision 3.")
        if windows("Authentication"):
            raise Failure("the remembered password was asked for again")
        # svn's credential file says where the password went; never in it.
        folder = os.path.join(os.environ["HOME"], ".subversion/auth/svn.simple")
        saved = "".join(read(os.path.join(folder, name)) for name in os.listdir(folder))
        if "gnome-keyring" not in saved or "right" in saved:
            raise Failure(f"the password was not remembered in the keyring: {saved!r}")
        press(progress, "Close")
        app.wait(timeout=BOUND)
        log("the right password, remembered in the keyring, is not asked for again")
    finally:
        server.kill()
        server.wait()


# --- Server certificates ------------------------------------------------------

def openssl_facts(certificate):
    """What openssl says of the certificate, as svn's dialog should show it."""
    facts = {}
    for line in run("openssl", "x509", "-noout", "-subject", "-startdate", "-enddate", "-fingerprint", "-sha1",
                    "-nameopt", "sep_multiline,sname", "-in", certificate).splitlines():
        if "=" in line:
            key, value = line.strip().split("=", 1)
            facts[key.split()[-1]] = value
    return facts


def certificate_dialog():
    """An https repository whose certificate svn cannot verify and which asks
    for a password: the dialog shows what openssl says of the certificate,
    Reject changes nothing, Accept Once asks again next time, Accept
    Permanently stores it where svn does; the password, remembered, is kept
    in the keyring."""
    config = os.path.join(FINDER_SYNC, "SubversionConfig")
    os.makedirs(config, exist_ok=True)
    write(os.path.join(config, "config"), "")
    cli = ["--non-interactive", "--trust-server-cert-failures=unknown-ca,cn-mismatch", "--username", "alice",
           "--password", "right", "--config-dir", os.path.join(SCRATCH, "cli-config")]
    with HttpsRepositories(os.path.join(SCRATCH, "https"), users={"alice": "right"}) as server:
        server.create("tls")
        wc, other = os.path.join(SCRATCH, "tls-wc"), os.path.join(SCRATCH, "tls-other")
        run("svn", "checkout", "-q", *cli, server.url("tls"), other)
        write(os.path.join(other, "a.txt"), "a\n")
        run("svn", "add", "-q", os.path.join(other, "a.txt"))
        run("svn", "commit", "-q", *cli, "-m", "first", other)
        run("svn", "checkout", "-q", *cli, server.url("tls"), wc)

        def commit_other(text):
            write(os.path.join(other, "a.txt"), text)
            run("svn", "commit", "-q", *cli, "-m", text, other)

        def update_meets_dialog():
            app = send("update", [os.path.join(wc, "a.txt")])
            return app, window("Update a.txt"), window("Server Certificate")

        facts = openssl_facts(server.certificate)
        commit_other("a, over https\n")
        app, progress, dialog = update_meets_dialog()
        wait_attached("Server Certificate", "Update a.txt")
        shown = labels(dialog)
        expected = [f"https://127.0.0.1:{server.port}", facts["CN"], f"from {facts['notBefore']}\nuntil {facts['notAfter']}",
                    facts["Fingerprint"], "• it is issued by an unknown authority\n• its name does not match the server"]
        if any(fact not in shown for fact in expected):
            raise Failure(f"the certificate dialog shows {shown}, openssl says {expected}")
        if [b.name for b in descendants(dialog) if role(b) == pyatspi.ROLE_PUSH_BUTTON] != \
                ["Reject", "Accept Once", "Accept Permanently"]:
            raise Failure("the certificate dialog's buttons")
        box = dialog.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        screenshot("certificate.png", f"{box.x + box.width}x{box.y + box.height}")
        press(dialog, "Reject")
        message = label_containing(progress, "Could not update")
        if windows("Authentication"):
            raise Failure("a rejected certificate went on to ask for a password")
        if "certificate" not in message or read(os.path.join(wc, "a.txt")) != "a\n" or status(wc) != "" or \
                run("svn", "info", "--show-item", "revision", wc).strip() != "1":
            raise Failure(f"after Reject: {message!r}, {status(wc)!r}")
        press(progress, "Close")
        app.wait(timeout=BOUND)
        log(f"the certificate dialog shows the server, the name, the problems, validity and fingerprint as openssl "
            f"does; Reject: {message!r}, nothing changed")

        trusted = os.path.join(config, "auth", "svn.ssl.server")
        app, progress, dialog = update_meets_dialog()
        press(dialog, "Accept Once")
        answer_password("right", remember=True)
        label_containing(progress, "Updated to revision 2.")
        if read(os.path.join(wc, "a.txt")) != "a, over https\n" or (os.path.isdir(trusted) and os.listdir(trusted)):
            raise Failure("Accept Once did not update a.txt, or stored the certificate")
        press(progress, "Close")
        app.wait(timeout=BOUND)
        log("Accept Once: the password asked next, updated, the certificate not stored")

        commit_other("a, third\n")
        app, progress, dialog = update_meets_dialog()
        press(dialog, "Accept Permanently")
        label_containing(progress, "Updated to revision 3.")
        press(progress, "Close")
        app.wait(timeout=BOUND)
        stored = "".join(read(os.path.join(trusted, name)) for name in os.listdir(trusted))
        body = "".join(line for line in read(server.certificate).splitlines() if not line.startswith("-----"))
        if body not in stored or f"https://127.0.0.1:{server.port}" not in stored:
            raise Failure(f"the certificate was not stored in {trusted}: {stored[:300]!r}")

        # Asked again (certificate or password), the update would wait for
        # an answer and never finish.
        commit_other("a, fourth\n")
        app = send("update", [os.path.join(wc, "a.txt")])
        progress = window("Update a.txt")
        label_containing(progress, "Updated to revision 4.")
        if windows("Server Certificate") or read(os.path.join(wc, "a.txt")) != "a, fourth\n":
            raise Failure("the stored certificate was asked about again")
        folder = os.path.join(config, "auth", "svn.simple")
        saved = "".join(read(os.path.join(folder, name)) for name in os.listdir(folder))
        if "gnome-keyring" not in saved or "right" in saved:
            raise Failure(f"the password was not remembered in the keyring: {saved!r}")
        press(progress, "Close")
        app.wait(timeout=BOUND)
    shutil.rmtree(config)
    log(f"Accept Once asks again next time; Accept Permanently is stored in {trusted} and not asked again; "
        "the password, remembered in the keyring, is not asked for either")


# --- Commit -------------------------------------------------------------------

def check_boxes(window, list_name):
    for node in descendants(window):
        if role(node) == pyatspi.ROLE_LIST and node.name == list_name:
            return [box for box in descendants(node, into_lists=True) if role(box) == pyatspi.ROLE_CHECK_BOX]
    return []


def item_box(window, path):
    """The check box of the item at path in the commit dialog."""
    def find():
        for box in check_boxes(window, "Items to commit"):
            if box.name.split("    ")[-1].split("  (")[0] == path:
                return box
        return None
    return wait_for(f"{path} in the commit list", find)


def has_state(node, state):
    return node.getState().contains(state)


def click(node):
    box = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    run("xdotool", "mousemove", str(box.x + 10), str(box.y + box.height // 2), "click", "1")


def toggle(box, checked):
    click(box)
    wait_for(f"{box.name!r} to be {'checked' if checked else 'unchecked'}",
             lambda: has_state(box, pyatspi.STATE_CHECKED) == checked)


def text_view(window, name):
    return wait_for(f"the text {name!r}", lambda: next(
        (node for node in descendants(window) if role(node) == pyatspi.ROLE_TEXT and node.name == name), None))


def text_of(node):
    return node.queryText().getText(0, -1)


def gone(title):
    wait_for(f"{title!r} to close", lambda: not windows(title))


def commit_dialog():
    repo, wc = repository("commit", {"a.txt": "a\n", "b.txt": "b\n", "gone.txt": "gone\n", "sub/c.txt": "c\n"})
    behind = copy(wc, "commit-behind")
    write(os.path.join(wc, "a.txt"), "a\nmine\n")
    write(os.path.join(wc, "sub/new.txt"), "new\n")
    run("svn", "add", "-q", os.path.join(wc, "sub/new.txt"))
    run("svn", "propset", "-q", "colour", "red", os.path.join(wc, "b.txt"))
    os.remove(os.path.join(wc, "gone.txt"))
    write(os.path.join(wc, "loose.txt"), "loose\n")
    write(os.path.join(wc, "sub/c.txt"), "c, changed\n")

    app = send("commit", [wc])
    dialog = window("Commit")
    boxes = {name: item_box(dialog, f"{wc}/{name}")
             for name in ("a.txt", "b.txt", "gone.txt", "loose.txt", "sub/c.txt", "sub/new.txt")}
    if len(check_boxes(dialog, "Items to commit")) != 6:
        raise Failure(f"the dialog listed {[box.name for box in check_boxes(dialog, 'Items to commit')]}")
    for name, box in boxes.items():
        if has_state(box, pyatspi.STATE_CHECKED) != (name != "loose.txt"):
            raise Failure(f"{name} starts {'checked' if name == 'loose.txt' else 'unchecked'}")
    commit = button(dialog, "Commit")
    if has_state(commit, pyatspi.STATE_SENSITIVE):
        raise Failure("Commit is sensitive with a blank message")

    # Selecting a modified item shows its diff, coloured lines and all.
    items = next(node for node in descendants(dialog) if role(node) == pyatspi.ROLE_LIST
                 and node.name == "Items to commit")
    rows = [items.getChildAtIndex(i) for i in range(items.childCount)]
    index = next(i for i, row in enumerate(rows) if any(box.name == boxes["a.txt"].name
                                                         for box in descendants(row, into_lists=True)))
    items.querySelection().selectChild(index)
    change = text_view(dialog, "Change")
    wait_for("the diff of a.txt", lambda: "\n+mine\n" in text_of(change) and "\n a\n" in text_of(change))
    log("Commit…: every change listed, the unversioned one unchecked; the diff of a.txt shows")

    toggle(boxes["b.txt"], False)
    toggle(boxes["loose.txt"], True)
    message = text_view(dialog, "Message")
    message.queryEditableText().setTextContents("  \n ")
    if has_state(commit, pyatspi.STATE_SENSITIVE):
        raise Failure("Commit is sensitive with a message of blanks")
    typed = "Commit from the dialog\nwith a second line"
    message.queryEditableText().setTextContents(typed)
    wait_for("Commit to become sensitive", lambda: has_state(commit, pyatspi.STATE_SENSITIVE))
    screenshot("commit.png", "760x640")
    press(dialog, "Commit")
    label_containing(dialog, "Committed revision 2")
    log_xml = run("svn", "log", "-v", "--xml", "-r", "2", f"file://{repo}")
    entry = ElementTree.fromstring(log_xml).find("logentry")
    paths = sorted(f"{p.get('action')} {p.text}" for p in entry.find("paths"))
    expected = ["A /loose.txt", "A /sub/new.txt", "D /gone.txt", "M /a.txt", "M /sub/c.txt"]
    if paths != expected or entry.find("msg").text != typed:
        raise Failure(f"revision 2 holds {paths} with {entry.find('msg').text!r}")
    if status(wc) != f" M      {wc}/b.txt\n":
        raise Failure(f"after the commit: {status(wc)}")
    press(dialog, "Close")
    gone("Commit")
    log("Commit: the revision holds exactly the checked items with the typed message")

    # Out of date: the message and the checks stay, and Update is offered.
    write(os.path.join(behind, "a.txt"), "a, behind\n")
    write(os.path.join(behind, "b.txt"), "b, behind\n")
    send("commit", [behind])
    dialog = window("Commit")
    toggle(item_box(dialog, f"{behind}/b.txt"), False)
    message = text_view(dialog, "Message")
    message.queryEditableText().setTextContents("stale change")
    commit = button(dialog, "Commit")
    wait_for("Commit to become sensitive", lambda: has_state(commit, pyatspi.STATE_SENSITIVE))
    press(dialog, "Commit")
    label_containing(dialog, "update, then commit again")
    if text_of(message) != "stale change":
        raise Failure(f"the message became {text_of(message)!r}")
    if has_state(item_box(dialog, f"{behind}/b.txt"), pyatspi.STATE_CHECKED) or \
            not has_state(item_box(dialog, f"{behind}/a.txt"), pyatspi.STATE_CHECKED):
        raise Failure("the checks changed after the failed commit")
    if "stale change" not in read(os.path.join(os.environ["XDG_DATA_HOME"], "korvane", "commit-messages")):
        raise Failure("the failed commit's message was not kept")
    log("out-of-date commit: the message says so, text and checks stay, the message is kept")

    press(dialog, "Update")
    progress = window("Update commit-behind")
    label_containing(progress, "Conflicts:")
    press(progress, "Close")
    press(dialog, "Cancel")
    gone("Commit")
    send("commit", [behind])
    dialog = window("Commit")
    conflicted = item_box(dialog, f"{behind}/a.txt")
    if has_state(conflicted, pyatspi.STATE_SENSITIVE) or has_state(conflicted, pyatspi.STATE_CHECKED) or \
            "conflict" not in conflicted.name:
        raise Failure(f"the conflicted item: {conflicted.name!r}, {conflicted.getState().getStates()}")
    log("Update from the dialog; a conflicted item is listed, cannot be checked, and says why")

    # The failed commit's message is the first of the recent ones.
    click(next(node for node in descendants(dialog) if role(node) == pyatspi.ROLE_COMBO_BOX))
    application = dialog.getApplication()
    wait_for("the recent messages to show", lambda: any(
        role(node) == pyatspi.ROLE_LABEL and node.name == "stale change"
        for i in range(application.childCount) for node in descendants(application.getChildAtIndex(i), True)))
    run("xdotool", "key", "Down", "Return")
    message = text_view(dialog, "Message")
    wait_for("the picked message in the text", lambda: text_of(message) == "stale change")
    press(dialog, "Cancel")
    log("the recent messages offer the failed commit's message, and picking it fills the text")
    app.wait(timeout=BOUND)


def main():
    scenarios = [commit_dialog, cancel_long_update, update_and_conflict, revert_and_locked, reveal_add_and_ignore, passwords,
                 certificate_dialog]
    # A loopback sshd needs an account of its own, which only root can make.
    if os.geteuid() == 0:
        scenarios.append(update_over_ssh)
    else:
        log("not root: svn+ssh through a loopback sshd left out")
    # KRV_APP_SCENARIOS=name,name runs only those, while working on them.
    chosen = [name for name in os.environ.get("KRV_APP_SCENARIOS", "").split(",") if name]
    for scenario in scenarios:
        if not chosen or scenario.__name__ in chosen:
            scenario()
    log("ok")


if __name__ == "__main__":
    try:
        main()
    except (Failure, subprocess.CalledProcessError, subprocess.TimeoutExpired) as failure:
        log(f"FAILED: {failure}")
        raise SystemExit(1)
