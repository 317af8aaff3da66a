# -*- coding: utf-8 -*-
# Copyright: The Corvane developers
"""Runs corvanectl on the site host for the corvane.fleet modules.

The modules never parse corvanectl's text: they read its JSON output and
its JSON report, which it writes on its standard output (--report -), so
that no file of the run is left when it is killed. The passwords go to
corvanectl on its standard input (--password-file -): never on its command
line, never in a file.

A module option is the long option of corvanectl it stands for, in
snake_case (--stall-timeout: stall_timeout); the sanity test holds the
modules to corvanectl's --help with the tables below.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import re

from ansible.module_utils.basic import AnsibleModule

# corvanectl's exit statuses.
EXIT_SUCCESS = 0
EXIT_SOME_FAILED = 1
EXIT_USAGE = 2
EXIT_NO_DEVICE = 3
EXIT_UNKNOWN_RESULT = 4
EXIT_IDENTITY_CHANGED = 5
EXIT_UNTRUSTED = 6

# The scan every command makes.
SCAN_ARGS = dict(
    interface=dict(type='str', required=True),
    corvanectl=dict(type='path', default='corvanectl'),
    seconds=dict(type='int', default=5),
    probe=dict(type='list', elements='str', default=[]),
    model=dict(type='list', elements='str', default=[]),
    max_devices=dict(type='int'),
)

# The devices a module works on.
TARGET_ARGS = dict(
    devices=dict(type='list', elements='str', default=[]),
    devices_file=dict(type='path'),
    all=dict(type='bool', default=False),
    table_full=dict(type='str', choices=['refuse', 'proceed']),
)

# The devices' passwords, together on corvanectl's standard input.
PASSWORD_ARGS = dict(
    password=dict(type='str', no_log=True),
    passwords=dict(type='dict', no_log=True),
    password_file=dict(type='path', no_log=False),
    trust_new=dict(type='bool', default=False),
)

# What a batch takes on top.
BATCH_ARGS = dict(
    src=dict(type='path', required=True),
    parallel=dict(type='int', default=1),
    timeout=dict(type='int'),
    stall_timeout=dict(type='int'),
    retries=dict(type='int', default=0),
    retry_delay=dict(type='int'),
    retry_max_time=dict(type='int'),
    max_failures=dict(type='int'),
    canary=dict(type='int', default=0),
    wait_result=dict(type='bool', default=False),
    result_timeout=dict(type='int'),
    strict=dict(type='bool', default=False),
)

# The module options that are no option of corvanectl's: the program, the
# file sent (its argument), the passwords (all in --password-file -), and
# corvane_devices' own choices.
OWN_OPTIONS = ('corvanectl', 'src', 'password', 'passwords', 'name', 'info', 'fail_on_unreadable')

# A module option named otherwise than corvanectl's (a list of them).
RENAMED = {'devices': 'device'}

# corvanectl's options that the module reads itself: the password file
# goes to corvanectl with the other passwords on its standard input.
READ_BY_MODULE = ('password_file',)

# corvanectl's options that no module takes, and why.
NOT_TAKEN = {
    'help': 'the options themselves',
    'verbose': "the libraries' diagnostics, for a developer at a terminal",
    'output': 'the modules read JSON',
    'json': 'the modules read JSON',
    'yes': 'always given: a module has no terminal to ask on',
    'quiet': 'always given: no one reads the progress',
    'report': 'always -: the modules read the report on standard output, no file is left of it',
    'dry-run': 'given in check mode',
}

# What a module leaves of its commands' options beside those, and why.
NOT_TAKEN_BY = {
    'corvane_trust': {
        'trust-new': 'corvanectl trust accept only',
        'trust-changed': "corvanectl trust accept only: a changed key is taken on the operator's word, not a play's",
        'password-file': 'enrolment sends no password',
    },
    'corvane_devices': {
        'device': 'info is given the devices discover found',
        'devices-file': 'info is given the devices discover found',
        'all': 'info is given the devices discover found',
        'table-full': 'info is given the devices discover found, never --all',
    },
}

# A device's row that ends in one of these fails the host.
FAILED_RESULTS = ('failed', 'skipped', 'unknown', 'interrupted', 'identity-changed', 'new-key', 'address-shared',
                  'store-unusable')

# What a run that refused keys says.
UNTRUSTED_MESSAGE = ('a device has no pinned key (new key), shares its address with another, or the known devices '
                     'cannot be read; nothing was sent to it. Enrol the site\'s devices once, on a network you trust, '
                     'with corvane.fleet.corvane_trust, or set trust_new: true')

# How many devices a message names before "and N more".
NAMED_IN_MESSAGE = 5

# A password file is a few lines; corvanectl reads no more either.
MAX_PASSWORD_FILE = 1024 * 1024


def option_arguments(params, names):
    """The options `names` as corvanectl takes them: a list repeated, a
    true bool a flag, anything else with its value; unset ones left out."""
    argv = []
    for name in names:
        value = params.get(name)
        option = '--' + RENAMED.get(name, name).replace('_', '-')
        if value is None or value is False or (name == 'canary' and value == 0):
            continue
        if value is True:
            argv.append(option)
        elif isinstance(value, list):
            for item in value:
                argv += [option, str(item)]
        else:
            argv += [option, str(value)]
    return argv


def scan_arguments(params):
    """The scan's options, as corvanectl takes them."""
    return option_arguments(params, ('interface', 'seconds', 'probe', 'model', 'max_devices'))


def quoted(field):
    """A field quoted as corvanectl's password file wants it, so that
    spaces, quotes and a leading '#' stay the field's."""
    return '"%s"' % field.replace('\\', '\\\\').replace('"', '\\"')


def password_text(module):
    """What corvanectl reads on its standard input: the password file's
    lines, then the password for every device, then a line per device of
    `passwords`; a later line wins over an earlier one for the same device.
    None without any."""
    params = module.params
    lines = []
    if params.get('password_file'):
        try:
            with open(params['password_file'], 'rb') as source:
                text = source.read(MAX_PASSWORD_FILE + 1)
        except (IOError, OSError) as error:
            module.fail_json(msg='cannot read the password file %s: %s' % (params['password_file'], error.strerror))
        if len(text) > MAX_PASSWORD_FILE:
            module.fail_json(msg='the password file %s is larger than a password file' % params['password_file'])
        lines.append(text.decode('utf-8', 'replace'))
    given = [('*', params.get('password'))] if params.get('password') is not None else []
    given += sorted((params.get('passwords') or {}).items(), key=lambda item: str(item[0]))
    for device, password in given:
        device, password = str(device), str(password)
        if any(c in device + password for c in '\r\n'):
            module.fail_json(msg='a password or a device of passwords holds a line break')
        lines.append('%s %s\n' % ('*' if device == '*' else quoted(device), quoted(password)))
    if not lines:
        return None
    return ''.join(line if line.endswith('\n') else line + '\n' for line in lines)


def run(module, argv, password=None):
    """corvanectl with `argv`, and the passwords on its standard input when
    there are any; its exit status, standard output and error."""
    # No shell, no locale surprises; neither the environment's password nor
    # its choice on new keys is inherited: the module's options say them.
    environment = {'LC_ALL': 'C.UTF-8', 'CORVANE_PASSWORD': '', 'CORVANE_TRUST': 'refuse'}
    if password is None:
        return module.run_command([module.params['corvanectl']] + argv, environ_update=environment,
                                  check_rc=False)
    return module.run_command([module.params['corvanectl']] + argv + ['--password-file', '-'],
                              environ_update=environment, data=password, binary_data=True, check_rc=False)


def json_document(text):
    """The JSON that corvanectl printed, or None."""
    try:
        return json.loads(text)
    except ValueError:
        return None


def read_report(out):
    """The rows and the summary of the batch report corvanectl wrote last on
    its standard output (after any device's line); ([], {}) without one."""
    start = re.search(r'^\{\s*$', out, re.MULTILINE)
    document = json_document(out[start.start():]) if start else None
    if not isinstance(document, dict):
        return [], {}
    return document.get('devices', []), document.get('summary', {})


def printable(text):
    """`text` without control characters, for a message."""
    return ''.join('\\x%02x' % ord(c) if ord(c) < 0x20 or 0x7f <= ord(c) < 0xa0 else c for c in str(text))


def named(rows):
    """The first devices of `rows` by name, addresses, result and reason,
    and how many more."""
    shown = []
    for row in rows[:NAMED_IN_MESSAGE]:
        text = '%s (%s, %s) %s' % (printable(row.get('hostName', '')), row.get('ipAddress', ''),
                                   row.get('macAddress', ''), row.get('result', ''))
        if row.get('message'):
            text += ': ' + printable(row['message']).rstrip('.')
        shown.append(text)
    if len(rows) > NAMED_IN_MESSAGE:
        shown.append('and %d more' % (len(rows) - NAMED_IN_MESSAGE))
    return '; '.join(shown)


def reason(err):
    """corvanectl's own word on standard error for why it stopped: its last
    line that names it, else its last line."""
    lines = [line.strip() for line in err.splitlines() if line.strip()]
    said = [line for line in lines if line.startswith('corvanectl')]
    return printable((said or lines or [''])[-1])


def failure_message(rc, rows, err, params):
    """The host's failure: what went wrong, the devices it went wrong for,
    and corvanectl's reason when no device's row tells it."""
    failed_rows = [row for row in rows if row.get('result') in FAILED_RESULTS]
    if rc == EXIT_IDENTITY_CHANGED:
        message = 'a device shows another key than the one pinned for it; nothing was sent to it'
    elif rc == EXIT_UNTRUSTED:
        message = UNTRUSTED_MESSAGE
    elif rc == EXIT_NO_DEVICE:
        message = 'no device answered on %s' % params['interface']
    elif rc == EXIT_USAGE:
        message = 'corvanectl refused the run'
    elif failed_rows:
        message = '%d of %d devices did not succeed' % (len(failed_rows), len(rows))
    else:
        message = 'corvanectl ended with status %d' % rc
    if failed_rows:
        return '%s: %s' % (message, named(failed_rows))
    why = reason(err)
    return '%s: %s' % (message, why) if why else message


def run_batch(module, command):
    """Runs one batch command and ends the module with its result."""
    params = module.params
    # Every option the module takes is corvanectl's, but for its own.
    argv = [command, params['src'], '--report', '-', '--yes', '--quiet']
    argv += option_arguments(params, sorted(name for name in module.argument_spec
                                            if name not in OWN_OPTIONS + READ_BY_MODULE))
    if module.check_mode:
        argv.append('--dry-run')
    rc, out, err = run(module, argv, password_text(module))
    devices, summary = read_report(out)

    changed = any(row.get('result') == 'succeeded' for row in devices)
    result = dict(changed=changed and not module.check_mode, rc=rc, devices=devices, summary=summary,
                  stderr=err, stderr_lines=err.splitlines())
    if module.check_mode:
        result['changed'] = any(row.get('result') == 'ready' for row in devices)
    if rc == EXIT_SUCCESS:
        module.exit_json(**result)
    module.fail_json(msg=failure_message(rc, devices, err, params), **result)


def batch_spec(extra_args=None):
    """A batch module's options."""
    argument_spec = dict(SCAN_ARGS)
    argument_spec.update(TARGET_ARGS)
    argument_spec.update(PASSWORD_ARGS)
    argument_spec.update(BATCH_ARGS)
    argument_spec.update(extra_args or {})
    return argument_spec


def batch_main(command, argument_spec):
    """The whole of a batch module: its options, their checks, the run."""
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True,
                           mutually_exclusive=[('devices', 'all'), ('devices_file', 'all')],
                           required_one_of=[('password', 'passwords', 'password_file')])
    if not module.params['all'] and not module.params['devices'] and not module.params['devices_file']:
        module.fail_json(msg='give devices, devices_file, or all: true')
    run_batch(module, command)
