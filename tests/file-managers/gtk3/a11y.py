"""The file managers' menus and list rows through the accessibility tree,
for the window tests of GTK 3 file managers (Nemo, Caja, Thunar). The
caller runs beside the file manager on the same session bus, with the
accessibility bridge on (scripts/lib/fm-session)."""
import pyatspi


class Word:
    """A name on the screen with its box."""

    def __init__(self, text, left, top, width, height):
        self.text, self.left, self.top, self.width, self.height = text, left, top, width, height
        self.right, self.bottom = left + width, top + height
        self.cx, self.cy = left + width // 2, top + height // 2


def showing(node):
    try:
        return node.getState().contains(pyatspi.STATE_SHOWING)
    except Exception:
        return False


def korvane_menu(manager):
    """The Korvane submenu of the context menu that is open now, as its
    accessible node; None when there is none."""
    for app in pyatspi.Registry.getDesktop(0):
        if app is None or app.name != manager:
            continue
        for window in app:
            if window is None or window.getRoleName() not in ("window", "menu") or not showing(window):
                continue
            found = pyatspi.findDescendant(window, lambda n: n.getRoleName() == "menu" and n.name == "Korvane"
                                           and showing(n), True)
            if found:
                return found
    return None


def titles(menu):
    """The submenu's visible entries; a separator reads as ""."""
    result = []
    for child in menu:
        state = child.getState()
        if not state.contains(pyatspi.STATE_VISIBLE):
            continue
        role = child.getRoleName()
        if role == "separator":
            result.append("")
        elif role == "menu item":
            result.append(child.name)
    return result


def list_rows(manager):
    """The list view's rows as the accessibility tree names them: each
    file's name with its cell's box. (OCR misreads a name whose icon
    carries an emblem right before it.) A cell's box starts a little right
    of where its name is drawn, so only its height is relied on."""
    rows = []
    for app in pyatspi.Registry.getDesktop(0):
        if app is None or app.name != manager:
            continue
        for cell in pyatspi.findAllDescendants(app, lambda n: n.getRoleName() == "table cell" and n.name
                                               and showing(n)):
            e = cell.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
            rows.append(Word(cell.name, e.x, e.y, e.width, e.height))
    return rows


def popup_item(manager, title):
    """The item of that title in the context menu open now; None when there
    is none."""
    for app in pyatspi.Registry.getDesktop(0):
        if app is None or app.name != manager:
            continue
        for window in app:
            if window is None or window.getRoleName() not in ("window", "menu") or not showing(window):
                continue
            found = pyatspi.findDescendant(window, lambda n: n.getRoleName() == "menu item" and n.name == title
                                           and showing(n), True)
            if found:
                return found
    return None
