#!/usr/bin/python3
"""What a screen reader sees of the setup, read and driven through the accessibility bus
(AT-SPI) alone: the tree of each view against its table, the bar's percent as it changes, and
the failure lines read out when they show.
Usage: atspi_check.py SETUP FOLDER BAD_FOLDER OUT_DIR"""
import os
import re
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

setup, folder, bad_folder, out = sys.argv[1:5]
failures = 0
heard = []  # (event, role, name, detail1), as they came


def listen(event):
    try:
        heard.append((event.type, event.source.getRoleName(), event.source.name, event.detail1))
    except GLib.Error:  # from a setup that has ended
        pass


# Registered before the setup starts, which asks the registry what to send.
pyatspi.Registry.registerEventListener(
    listen, 'object:state-changed:showing', 'object:property-change:accessible-description')


def until(seconds, ready):
    """ready()'s first true answer within `seconds`, the events heard meanwhile; else its last."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while True:
        while context.iteration(False):
            pass
        answer = ready()
        if answer or time.monotonic() > deadline:
            return answer
        time.sleep(0.1)


def check(what, ok, detail=''):
    global failures
    failures += not ok
    print(f'ok: {what}' if ok else f'FAIL: {what}\n{detail}', file=sys.stdout if ok else sys.stderr)


def tree(acc):
    yield acc
    # A combo box's closed popup still claims to show.
    if acc.getRoleName() != 'combo box':
        for child in acc:
            if child is not None:
                yield from tree(child)


def showing(acc):
    return acc.getState().contains(pyatspi.STATE_SHOWING)


def row(acc):
    actions = acc.queryAction() if 'Action' in pyatspi.listInterfaces(acc) else None
    names = [actions.getName(i) for i in range(actions.nActions)] if actions else []
    state = acc.getState()
    states = [word for s, word in ((pyatspi.STATE_FOCUSABLE, 'focusable'),
                                   (pyatspi.STATE_CHECKED, 'checked')) if state.contains(s)]
    states += [] if state.contains(pyatspi.STATE_ENABLED) else ['disabled']
    return '|'.join((acc.getRoleName(), acc.name, acc.description, ' '.join(names), ' '.join(states)))


def view_rows(app):
    """What shows of the view on top: the install or finish view covers the main view."""
    content = app[0][0]
    views = [child for child in content if child.getRoleName() == 'filler']  # settings first
    scope = ([view for view in views[1:] if showing(view)] or [content])[-1]
    return [row(acc) for acc in tree(scope)
            if showing(acc) and acc.getRoleName() not in ('filler', 'frame')]


def check_view(what, app, table, seconds):
    """One check of the whole view: its rows are the table's (regular expressions) in order."""
    seen = []

    def matches():
        try:
            seen[:] = view_rows(app)
        except GLib.Error:  # a part that went while it was read
            return None
        return re.fullmatch('\n'.join('[|]'.join(r) for r in table), '\n'.join(seen))
    check(what, until(seconds, matches), '  it shows:\n  ' + '\n  '.join(seen))


def find(app, role, name):
    acc = until(10, lambda: next((a for a in tree(app) if a.getRoleName() == role and
                                  a.name == name and showing(a)), None))
    if not acc:
        sys.exit(f'FAIL: no {role} "{name}" shows')
    return acc


def press(acc):
    actions = acc.queryAction()
    actions.doAction(next(i for i in range(actions.nActions) if actions.getName(i) == 'Press'))


def start_and_install(path):
    """A fresh setup, its install folder set to `path` through the settings, Install pressed."""
    global setup_process
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON='1')
    with open(os.path.join(out, 'setup-output.txt'), 'a') as output:
        setup_process = subprocess.Popen([setup], env=env, stdout=output, stderr=output)
    # The first start of the accessibility bus and its registry can be slow.
    app = until(60, lambda: next((a for a in pyatspi.Registry.getDesktop(0)
                                  if a and a.get_process_id() == setup_process.pid), None))
    if not app:
        sys.exit('FAIL: the setup did not appear on the accessibility bus')
    press(find(app, 'link', 'Install Setting'))
    field = find(app, 'text', 'Installation Path:')
    field.queryEditableText().setTextContents(path)
    # A wrong folder must never reach Install: its default is /Applications.
    if field.queryText().getText(0, -1) != path:
        sys.exit(f'FAIL: the folder field holds "{field.queryText().getText(0, -1)}"')
    return app


# Names are regular expressions; the columns are role, name, description, actions and states.
BRAND = [('image', 'Quorvel', '', '', ''), ('label', 'Quorvel', '', '', '')] * 2
PRESS = ('Press SetFocus', 'focusable')
MAIN_WITH_SETTINGS = BRAND + [
    ('push button', 'Install', '', *PRESS),
    ('check box', "I've read and agreed", '', 'Toggle SetFocus', 'focusable checked'),
    ('link', 'Privacy Policy', '', *PRESS),
    ('label', 'and', '', '', ''),
    ('link', 'User License Agreement', '', *PRESS),
    ('link', 'Install Setting', '', *PRESS),
    ('label', 'Select Language:', '', '', ''),
    ('combo box', 'English', '', 'ShowMenu Press', 'focusable'),
    ('label', 'Installation Path:', '', '', ''),
    ('text', 'Installation Path:', '', 'SetFocus', 'focusable'),
    ('push button', 'Browse', '', *PRESS)]
# The picture is named by the caption above it; the bar, read-only, reads the percent shown.
INSTALL = [
    ('label', '(?P<caption>.+)', '', '', ''),
    ('image', '(?P=caption)', '', '', ''),
    ('page tab list', '[1-4] / 4', '', 'SetFocus', 'focusable'),
    ('progress bar', r'Installing, please wait\.\.\.', '(?P<percent>[0-9]+%)', '', ''),
    ('label', r'Installing, please wait\.\.\.  (?P=percent)', '', '', ''),
    ('push button', 'Hide', '', *PRESS)]
FINISH = BRAND + [('push button', 'Start Now', '', *PRESS)]

setup_process = None
try:
    app = start_and_install(folder)
    check_view('the main view with the settings open', app, MAIN_WITH_SETTINGS, 10)
    press(find(app, 'push button', 'Install'))
    check_view('the install view', app, INSTALL, 30)
    check('the bar announces its percent as it changes',
          until(10, lambda: any(e[:2] == ('object:property-change:accessible-description',
                                          'progress bar') for e in heard)))
    check_view('the finish view', app, FINISH, 60)
    press(find(app, 'push button', 'Start Now'))
    check('Start Now ends the setup', setup_process.wait(20) == 0)

    # A failed installation: both failure lines are read out as they show.
    heard.clear()
    app = start_and_install(bad_folder)
    press(find(app, 'push button', 'Install'))
    alerts = {('object:state-changed:showing', 'notification', text, 1) for text in
              ('Installation failed.', 'Could not copy the application to the install location.')}
    check('the failure lines are announced', until(60, lambda: alerts <= set(heard)),
          f'  heard: {[e for e in heard if e[1] != "progress bar"]}')
finally:
    if setup_process and setup_process.poll() is None:
        setup_process.kill()
        setup_process.wait()
sys.exit(1 if failures else 0)
