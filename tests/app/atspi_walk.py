#!/usr/bin/python3
"""Corvane's window as an assistive tool sees it, through AT-SPI.

Run by tst_accessibility_e2e with the test's private session bus in
DBUS_SESSION_BUS_ADDRESS and its private X display in DISPLAY. One stage per
run (see STAGES); every check prints one JSON line
  {"check": "...", "ok": true|false, "expected": ..., "got": ...}
and the exit status is 0 only when every check of the stage held; the last
line, {"done": "<stage>"}, says that the stage ran to its end. On a failed
check the window's accessibility tree goes to standard error.

Waits poll the tree until a condition holds or a deadline passes: AT-SPI
offers no event for "three rows are listed now", and polling keeps the waits
bounded without guessing a fixed delay.
"""

import json
import os
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

APP_NAME = "corvane"
WAIT_S = 20.0
POLL_S = 0.1
HEADER_TITLES = ["Model", "Host Name", "Version", "IP Address", "MAC Address", "Subnet Mask", "Status"]
BATCH_BUTTONS = ["Update Firmware", "Import Configuration", "Change Stand-by Screen Image"]
# Qt's bridge reports ColumnHeader as one of these, depending on its mapping table.
COLUMN_HEADER_ROLES = ("column header", "table column header")
ALERT_ROLES = ("alert", "notification")
WRONG_PASSWORD_TEXT = "Invalid password, please retry."

failures = 0
# The program's process id, for the keyboard: given by the caller, since the
# accessibility bus runs in a PID namespace of its own and reports 0 for it.
PID = int(os.environ.get("CORVANE_PID", "0"))


def emit(check, ok, expected=None, got=None):
    global failures
    line = {"check": check, "ok": bool(ok)}
    if expected is not None:
        line["expected"] = expected
    if got is not None:
        line["got"] = got
    print(json.dumps(line), flush=True)
    if not ok:
        failures += 1
    return ok


# --- reading the tree -------------------------------------------------------


def role(acc):
    try:
        return acc.getRoleName()
    except Exception:  # the object went while we looked
        return "?"


def name(acc):
    try:
        return acc.name or ""
    except Exception:
        return ""


def states(acc):
    try:
        return sorted(pyatspi.stateToString(s) for s in acc.getState().getStates())
    except Exception:
        return []


def has_state(acc, state):
    try:
        return acc.getState().contains(state)
    except Exception:
        return False


def describe(acc):
    if acc is None:
        return "nothing"
    return "[%s] %r {%s}" % (role(acc), name(acc), ", ".join(states(acc)))


def children(acc):
    try:
        count = acc.childCount
    except Exception:
        return []
    result = []
    for i in range(count):
        try:
            child = acc.getChildAtIndex(i)
        except Exception:
            child = None
        if child is not None:
            result.append(child)
    return result


def walk(acc, depth=0, limit=12):
    """Every descendant, depth first, in the bridge's order."""
    yield acc
    if depth < limit:
        for child in children(acc):
            yield from walk(child, depth + 1, limit)


def find_all(root, pred):
    return [acc for acc in walk(root) if pred(acc)]


def find(root, pred):
    for acc in walk(root):
        if pred(acc):
            return acc
    return None


def by(role_names, acc_name=None):
    if isinstance(role_names, str):
        role_names = (role_names,)

    def pred(acc):
        return role(acc) in role_names and (acc_name is None or name(acc) == acc_name)

    return pred


def showing(acc):
    return has_state(acc, pyatspi.STATE_SHOWING)


def extents(acc):
    try:
        return acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    except Exception:
        return None


def dump(root, out=sys.stderr):
    out.write("accessibility tree of %s:\n" % APP_NAME)
    for acc, depth in _walk_depth(root):
        out.write("%s%s\n" % ("  " * depth, describe(acc)))
    out.flush()


def _walk_depth(acc, depth=0):
    yield acc, depth
    if depth < 12:
        for child in children(acc):
            yield from _walk_depth(child, depth + 1)


def wait_for(condition, seconds=WAIT_S):
    """Polls until condition() returns something true; returns its last value."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(POLL_S)


def application():
    desktop = pyatspi.Registry.getDesktop(0)

    def found():
        for app in children(desktop):
            if name(app) == APP_NAME and app.childCount > 0:
                return app
        return None

    app = wait_for(found)
    if app is not None:
        # Read every name and state afresh: the walk must see what the window
        # shows now, not what an earlier read left in libatspi's cache.
        try:
            app.set_cache_mask(pyatspi.cache.NONE)
        except Exception:
            pass
    return app


def frame(app):
    return find(app, by("frame", "Corvane"))


def action_names(acc):
    try:
        action = acc.queryAction()
    except NotImplementedError:
        return []
    return [action.getName(i) for i in range(action.nActions)]


def press(acc):
    """Invokes the object's press (or toggle) action as a screen reader does."""
    try:
        action = acc.queryAction()
    except NotImplementedError:
        return False
    names = [action.getName(i) for i in range(action.nActions)]
    for wanted in ("Press", "press", "Toggle", "toggle", "click"):
        if wanted in names:
            return bool(action.doAction(names.index(wanted)))
    return bool(action.nActions > 0 and action.doAction(0))


def xdotool(*arguments):
    """Keyboard input to the program's window on the private display."""
    window = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(PID)], capture_output=True,
                            text=True).stdout.split()
    if not window:
        return False
    if subprocess.run(["xdotool", "windowfocus", "--sync", window[0]]).returncode != 0:
        return False
    return subprocess.run(["xdotool"] + list(arguments)).returncode == 0


def activate(acc, effect_text, effect):
    """Presses acc through its AT-SPI action and checks the effect."""
    what = "%s %r" % (role(acc), name(acc))
    press(acc)
    done = wait_for(effect, 10)
    emit("%s pressed through its action: %s" % (what, effect_text), done,
         "%s after the action %s" % (effect_text, action_names(acc)), describe(acc))
    return bool(done)


# --- stages -------------------------------------------------------------------


def stage_dump(app, args):
    dump(app, sys.stdout)
    return emit("the application is on the accessibility bus", app is not None, APP_NAME)


def network_dialog(app):
    return find(app, lambda a: by("dialog", "Network")(a) and showing(a))


def stage_network(app, args):
    """Chooses the lab interface in the network popup and presses OK."""
    interface = args[0]
    win = frame(app)
    if not emit("frame 'Corvane'", win is not None, "[frame] 'Corvane'", None):
        return False
    dialog = wait_for(lambda: network_dialog(app))
    if not emit("the network popup is a dialog named 'Network'", dialog is not None, "[dialog] 'Network' showing",
                [describe(a) for a in find_all(app, by("dialog"))]):
        return False
    cell = find(dialog, by("table cell", interface))
    if not emit("the popup lists %s as a table cell" % interface, cell is not None, "[table cell] %r" % interface,
                [describe(a) for a in find_all(dialog, by("table cell"))]):
        return False
    press(cell)
    selected = wait_for(lambda: has_state(cell, pyatspi.STATE_SELECTED), 10)
    emit("%s selected through its cell's action" % interface, selected, "[table cell] %r {selected}" % interface,
         describe(cell))
    ok_button = find(dialog, by("push button", "OK"))
    if not emit("the network popup has a push button 'OK'", ok_button is not None, "[push button] 'OK'"):
        return False
    return activate(ok_button, "the popup closes", lambda: network_dialog(app) is None)


def devices_table(app):
    return find(app, by("table", "Devices"))


def row_check_boxes(table, devices):
    """The row check boxes by IP address, the second of their names' three fields."""
    boxes = {}
    for box in find_all(table, by("check box")):
        parts = [p.strip() for p in name(box).split(",")]
        if len(parts) == 3:
            boxes[parts[1]] = box
    return boxes if all(d["ip"] in boxes for d in devices) else None


# The status cell of a device that wants a login is a link to the login.
CELL_ROLES = ("table cell", "link")


def row_cells(table, box):
    """The cells on the check box's row, left to right (by their place)."""
    box_ext = extents(box)
    if box_ext is None:
        return []
    centre = box_ext.y + box_ext.height / 2
    cells = []
    for cell in find_all(table, by(CELL_ROLES)):
        ext = extents(cell)
        if ext is not None and ext.y <= centre < ext.y + ext.height:
            cells.append((ext.x, cell))
    return [cell for _, cell in sorted(cells, key=lambda c: c[0])]


def stage_devices(app, args):
    """The window with the lab devices listed, none checked."""
    devices = json.loads(args[0])
    win = frame(app)
    emit("frame 'Corvane'", win is not None, "[frame] 'Corvane'", describe(win))
    if win is None:
        return False
    network = find(win, by("push button", "Network"))
    emit("push button 'Network', sensitive while idle",
         network is not None and has_state(network, pyatspi.STATE_SENSITIVE), "[push button] 'Network' {sensitive}",
         describe(network))

    table = wait_for(lambda: devices_table(app))
    emit("table 'Devices'", table is not None, "[table] 'Devices'", [describe(a) for a in find_all(win, by("table"))])
    if table is None:
        return False
    boxes = wait_for(lambda: row_check_boxes(table, devices), 40)
    emit("a row check box for each of the %d devices" % len(devices), boxes is not None,
         ["%s, %s, ..." % (d["host"], d["ip"]) for d in devices],
         [describe(a) for a in find_all(table, by("check box"))])
    if boxes is None:
        return False

    headers = [h for h in find_all(win, by(COLUMN_HEADER_ROLES)) if name(h)]
    emit("column headers named as the model's header titles", [name(h) for h in headers] == HEADER_TITLES,
         HEADER_TITLES, [describe(h) for h in headers])
    all_box = find(win, by("check box", "All devices"))
    emit("header check box 'All devices'", all_box is not None, "[check box] 'All devices'", describe(all_box))

    for d in devices:
        box = boxes[d["ip"]]
        expected = "%s, %s, %s" % (d["host"], d["ip"], d["status"])
        emit("row check box of %s, not checked" % d["ip"],
             name(box) == expected and not has_state(box, pyatspi.STATE_CHECKED),
             "[check box] %r {not checked}" % expected, describe(box))
        cells = row_cells(table, box)
        emit("cells of %s" % d["ip"], [name(c) for c in cells] == d["cells"]
             and all(role(c) == "table cell" for c in cells[:-1]), d["cells"], [describe(c) for c in cells])

    # The table interface: its size, each row's cells in their columns, and
    # the column headers, as a screen reader's table commands use them.
    try:
        grid = table.queryTable()
    except NotImplementedError:
        grid = None
    emit("the table offers the table interface", grid is not None, "Table interface", describe(table))
    if grid is None:
        return False
    emit("3 rows and 8 columns (the check column and the titles)", (grid.nRows, grid.nColumns) == (len(devices), 8),
         [len(devices), 8], [grid.nRows, grid.nColumns])
    titles = [name(grid.getColumnHeader(c)) if grid.getColumnHeader(c) else "" for c in range(1, 8)]
    emit("column headers through the table", titles == HEADER_TITLES, HEADER_TITLES, titles)
    rows = []
    for r in range(grid.nRows):
        cells = [grid.getAccessibleAt(r, c) for c in range(grid.nColumns)]
        rows.append([name(c) for c in cells[1:]] if all(cells) else [])
    emit("each row's cells through the table", sorted(rows) == sorted([d["cells"] for d in devices]),
         sorted([d["cells"] for d in devices]), rows)

    for text in BATCH_BUTTONS:
        button = find(win, by("push button", text))
        emit("push button %r" % text, button is not None, "[push button] %r" % text)
        emit("push button %r insensitive while no device is checked" % text,
             button is not None and not has_state(button, pyatspi.STATE_SENSITIVE),
             "[push button] %r {not sensitive}" % text, describe(button))
    return True


def check_box_of(app, ip):
    table = devices_table(app)
    for box in find_all(table, by("check box")) if table else []:
        parts = [p.strip() for p in name(box).split(",")]
        if len(parts) == 3 and parts[1] == ip:
            return box
    return None


def stage_check(app, args):
    """Checks one device through its check box's action."""
    ip = args[0]
    box = check_box_of(app, ip)
    if not emit("row check box of %s" % ip, box is not None, ip, None):
        return False
    what = "check box %r" % name(box)
    press(box)
    # Through the model, as a click: the box shows it and the batch buttons
    # can be pressed.
    checked = wait_for(lambda: has_state(check_box_of(app, ip), pyatspi.STATE_CHECKED), 10)
    emit("%s pressed through its action: the box is checked" % what, checked,
         "{checked} after the action %s" % action_names(box), describe(check_box_of(app, ip)))
    win = frame(app)
    all_box = find(win, by("check box", "All devices"))
    emit("header check box 'All devices' part-checked with one device checked",
         all_box is not None and has_state(all_box, pyatspi.STATE_INDETERMINATE)
         and not has_state(all_box, pyatspi.STATE_CHECKED),
         "[check box] 'All devices' {indeterminate}", describe(all_box))
    for text in BATCH_BUTTONS:
        button = find(win, by("push button", text))
        emit("push button %r sensitive once a device is checked" % text,
             button is not None and has_state(button, pyatspi.STATE_SENSITIVE), "[push button] %r {sensitive}" % text,
             describe(button))
    return True


def login_dialog(app):
    return find(app, lambda a: by("dialog", "Login")(a) and showing(a))


def alert_named(acc, text):
    return role(acc) in ALERT_ROLES and name(acc) == text


def stage_login(app, args):
    """Update Firmware asks for the login; a wrong password is announced by
    the toast; Cancel closes the dialog."""
    win = frame(app)
    button = find(win, by("push button", "Update Firmware"))
    if not emit("push button 'Update Firmware'", button is not None, "[push button] 'Update Firmware'"):
        return False
    activate(button, "the dialog 'Login' opens", lambda: login_dialog(app))
    dialog = login_dialog(app)
    if dialog is None:
        emit("dialog 'Login' shows", False, "[dialog] 'Login' showing", [describe(a) for a in find_all(app, by("dialog"))])
        return False
    field = find(dialog, by("password text", "Password"))
    focused = wait_for(lambda: field is not None and has_state(field, pyatspi.STATE_FOCUSED), 10)
    emit("the login dialog's password field has the focus", focused, "[password text] {focused}",
         [describe(a) for a in find_all(dialog, lambda a: role(a) in ("password text", "text", "entry"))])
    behind = find(win, by("push button", "Network"))
    out_of_reach = wait_for(lambda: behind is not None and not has_state(behind, pyatspi.STATE_SENSITIVE), 10)
    emit("the 'Network' button behind the dialog is out of reach", out_of_reach, "[push button] 'Network' {}",
         describe(behind) if behind is not None else None)
    if field is None:
        return False

    # The toast, announced: listen as a screen reader listens, then submit a
    # wrong password.
    announced = []
    loop = GLib.MainLoop()

    def on_event(event):
        if event.detail1 == 1 and alert_named(event.source, WRONG_PASSWORD_TEXT):
            announced.append("%s from %s" % (event.type, describe(event.source)))
            loop.quit()

    def submit_wrong_password():
        try:
            typed = bool(field.queryEditableText().setTextContents("not-corvane"))
        except NotImplementedError:
            typed = False
        emit("a password typed through the field's EditableText", typed, "EditableText.setTextContents",
             describe(field))
        if not typed:
            xdotool("type", "--clearmodifiers", "--delay", "30", "not-corvane")
        submit = find(dialog, by("push button", "Submit"))
        sensitive = wait_for(lambda: submit is not None and has_state(submit, pyatspi.STATE_SENSITIVE), 10)
        emit("'Submit' sensitive once a password is typed", sensitive, "[push button] 'Submit' {sensitive}",
             describe(submit))
        if submit is not None:
            press(submit)
        return False

    def give_up():
        loop.quit()
        return False

    pyatspi.Registry.registerEventListener(on_event, "object:state-changed:showing")
    GLib.idle_add(submit_wrong_password)
    GLib.timeout_add(int(WAIT_S * 1000), give_up)
    loop.run()
    pyatspi.Registry.deregisterEventListener(on_event, "object:state-changed:showing")
    alerts = find_all(app, lambda a: role(a) in ALERT_ROLES)
    emit("the toast announced: showing from an alert named %r" % WRONG_PASSWORD_TEXT, bool(announced),
         "object:state-changed:showing from [alert] %r" % WRONG_PASSWORD_TEXT,
         announced or [describe(a) for a in alerts] or "no event, no alert in the tree")

    # A wrong password keeps the dialog on the same device.
    dialog = login_dialog(app)
    emit("dialog 'Login' stays after a wrong password", dialog is not None, "[dialog] 'Login' showing")
    if dialog is None:
        return False
    cancel = find(dialog, by("push button", "Cancel"))
    if not emit("push button 'Cancel' in the dialog 'Login'", cancel is not None, "[push button] 'Cancel'"):
        return False
    return activate(cancel, "the dialog 'Login' closes", lambda: login_dialog(app) is None)


STAGES = {
    "dump": stage_dump,
    "network": stage_network,
    "devices": stage_devices,
    "check": stage_check,
    "login": stage_login,
}


def main(argv):
    if len(argv) < 2 or argv[1] not in STAGES:
        sys.stderr.write("usage: atspi_walk.py %s [arguments]\n" % "|".join(STAGES))
        return 2
    app = application()
    if app is None:
        emit("%s is on the accessibility bus" % APP_NAME, False, APP_NAME,
             [name(a) for a in children(pyatspi.Registry.getDesktop(0))])
        return 1
    STAGES[argv[1]](app, argv[2:])
    # The stage ran to its end (a Python error would leave this out).
    print(json.dumps({"done": argv[1]}), flush=True)
    if failures:
        dump(app)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
