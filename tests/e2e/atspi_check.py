#!/usr/bin/python3
# What a screen reader finds of the setup, which it reads and drives through the accessibility
# bus (AT-SPI) alone: each view against its table, the bar's percent and the failure lines as
# they are announced. Usage: atspi_check.py SETUP FOLDER BAD_FOLDER OUT_DIR
import os
import re
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

setup, folder, bad_folder, out = sys.argv[1:5]
failures, heard, process = 0, [], None


def listen(event):
    try:
        heard.append((event.type, event.source.getRoleName(), event.source.name, event.detail1))
    except GLib.Error:  # from a setup that has ended
        pass


# Before the setup starts: it asks the registry which events anyone listens to.
pyatspi.Registry.registerEventListener(
    listen, 'object:state-changed:showing', 'object:property-change:accessible-description')


def until(seconds, ready):
    """ready()'s first true answer within `seconds`, or its last; events are heard meanwhile."""
    deadline = time.monotonic() + seconds
    while True:
        while GLib.MainContext.default().iteration(False):
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
    if acc.getRoleName() != 'combo box':  # its closed popup claims to show
        for child in filter(None, acc):
            yield from tree(child)


def showing(acc):
    return acc.getState().contains(pyatspi.STATE_SHOWING)


def row(acc):
    state = acc.getState()
    actions = acc.queryAction() if 'Action' in pyatspi.listInterfaces(acc) else None
    names = [actions.getName(i) for i in range(actions.nActions)] if actions else []
    words = [w for s, w in ((pyatspi.STATE_FOCUSABLE, 'focusable'),
                            (pyatspi.STATE_CHECKED, 'checked')) if state.contains(s)]
    words += [] if state.contains(pyatspi.STATE_SENSITIVE) else ['disabled']
    return '|'.join((acc.getRoleName(), acc.name, acc.description, *map(' '.join, (names, words))))


def check_view(what, app, table, seconds):
    """The rows of what shows of the view on top (the install and finish views cover the main
    one) are the table's, regular expressions, in order."""
    seen = []

    def matches():
        content = app[0][0]
        views = [v for v in content if v.getRoleName() == 'filler'][1:]  # after the settings
        try:
            seen[:] = [row(a) for a in tree(([v for v in views if showing(v)] or [content])[-1])
                       if showing(a) and a.getRoleName() not in ('filler', 'frame')]
        except GLib.Error:  # a part that went while it was read
            return None
        return re.fullmatch('\n'.join('[|]'.join(r) for r in table), '\n'.join(seen))
    check(what, until(seconds, matches), '  it shows:\n  ' + '\n  '.join(seen))


def find(app, role, name):
    acc = until(10, lambda: next((a for a in tree(app) if a.getRoleName() == role and
                                  a.name == name and showing(a)), None))
    return acc or sys.exit(f'FAIL: no {role} "{name}" shows')


def press(app, role, name):
    find(app, role, name).queryAction().doAction(0)  # Press comes first


def start_and_install(path):
    """A fresh setup, its install folder set to `path` in the settings, Install pressed."""
    global process
    with open(os.path.join(out, 'setup-output.txt'), 'a') as output:
        process = subprocess.Popen([setup], stdout=output, stderr=output,
                                   env=dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON='1'))
    # The first start of the accessibility bus and its registry can be slow.
    app = until(60, lambda: next((a for a in pyatspi.Registry.getDesktop(0)
                                  if a and a.get_process_id() == process.pid), None))
    if not app:
        sys.exit('FAIL: the setup did not appear on the accessibility bus')
    press(app, 'link', 'Install Setting')
    field = find(app, 'text', 'Installation Path:')
    field.queryEditableText().setTextContents(path)
    # A wrong folder must never reach Install: its default is /Applications.
    if field.queryText().getText(0, -1) != path:
        sys.exit(f'FAIL: the folder field holds "{field.queryText().getText(0, -1)}"')
    return app


# Role, name, description, actions and states of each control that shows, in order.
BRAND = [('image', 'Quorvel', '', '', ''), ('label', 'Quorvel', '', '', '')] * 2
PRESS = ('Press SetFocus', 'focusable')
MAIN_WITH_SETTINGS = BRAND + [
    ('push button', 'Install', '', *PRESS),
    ('check box', "I've read and agreed", '', 'Toggle SetFocus', 'focusable checked'),
    ('link', 'Privacy Policy', '', *PRESS), ('label', 'and', '', '', ''),
    ('link', 'User License Agreement', '', *PRESS), ('link', 'Install Setting', '', *PRESS),
    ('label', 'Select Language:', '', '', ''),
    ('combo box', 'English', '', 'ShowMenu Press', 'focusable'),
    ('label', 'Installation Path:', '', '', ''),
    ('text', 'Installation Path:', '', 'SetFocus', 'focusable'),
    ('push button', 'Browse', '', *PRESS)]
# The picture is named by its caption; the bar, read-only, reads the percent shown beside it.
INSTALL = [
    ('label', '(?P<caption>.+)', '', '', ''), ('image', '(?P=caption)', '', '', ''),
    ('page tab list', '[1-4] / 4', '', 'SetFocus', 'focusable'),
    ('progress bar', r'Installing, please wait\.\.\.', '(?P<percent>[0-9]+%)', '', ''),
    ('label', r'Installing, please wait\.\.\.  (?P=percent)', '', '', ''),
    ('push button', 'Hide', '', *PRESS)]
FINISH = BRAND + [('push button', 'Start Now', '', *PRESS)]

try:
    app = start_and_install(folder)
    check_view('the main view with the settings open', app, MAIN_WITH_SETTINGS, 10)
    press(app, 'push button', 'Install')
    check_view('the install view', app, INSTALL, 30)
    check('the bar announces its percent as it changes', until(10, lambda: (
        'object:property-change:accessible-description', 'progress bar') in [e[:2] for e in heard]))
    check_view('the finish view', app, FINISH, 60)
    press(app, 'push button', 'Start Now')
    check('Start Now ends the setup', process.wait(20) == 0)

    heard.clear()
    press(start_and_install(bad_folder), 'push button', 'Install')
    alerts = {('object:state-changed:showing', 'notification', text, 1) for text in
              ('Installation failed.', 'Could not copy the application to the install location.')}
    check('a failed installation announces both failure lines',
          until(60, lambda: alerts <= set(heard)), f'  heard: {heard}')
finally:
    if process and process.poll() is None:
        process.kill()
        process.wait()
sys.exit(1 if failures else 0)
