# -*- coding: utf-8 -*-
# Copyright: The Corvane developers
"""Runs corvanectl on the site host for the corvane.fleet modules.

The modules never parse corvanectl's text: they read its JSON output and
its JSON report. The password goes to corvanectl on its standard input
(--password-file -): never on its command line, never in a file, so that
nothing is left of it when a run is killed.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os

from ansible.module_utils.basic import AnsibleModule
import shutil
import tempfile

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
    all=dict(type='bool', default=False),
)

# What a batch takes on top.
BATCH_ARGS = dict(
    src=dict(type='path', required=True),
    password=dict(type='str', required=True, no_log=True),
    parallel=dict(type='int', default=1),
    timeout=dict(type='int'),
    stall_timeout=dict(type='int'),
    retries=dict(type='int', default=0),
    max_failures=dict(type='int'),
    canary=dict(type='int', default=0),
    wait_result=dict(type='bool', default=False),
    trust_new=dict(type='bool', default=False),
)

# A device's row that ends in one of these fails the host.
FAILED_RESULTS = ('failed', 'skipped', 'unknown', 'interrupted', 'identity-changed', 'new-key', 'address-shared',
                  'store-unusable')

# What a run that refused keys says.
UNTRUSTED_MESSAGE = ('a device has no pinned key (new key), shares its address with another, or the known devices '
                     'cannot be read; nothing was sent to it. Enrol the site\'s devices once, on a network you trust, '
                     'with corvane.fleet.corvane_trust, or set trust_new: true')


def scan_arguments(params):
    """The scan's options, as corvanectl takes them."""
    argv = ['--interface', params['interface'], '--seconds', str(params['seconds'])]
    for probe in params['probe']:
        argv += ['--probe', probe]
    for model in params['model']:
        argv += ['--model', model]
    if params.get('max_devices') is not None:
        argv += ['--max-devices', str(params['max_devices'])]
    return argv


def target_arguments(params):
    """The devices named, or every device that answers."""
    if params['all']:
        return ['--all']
    argv = []
    for device in params['devices']:
        argv += ['--device', device]
    return argv


def password_line(password):
    """One line for every device, quoted as corvanectl's password file wants
    it, so that spaces, quotes and a leading '#' stay the password's."""
    escaped = password.replace('\\', '\\\\').replace('"', '\\"')
    return '"%s"' % escaped


def key_arguments(params):
    """What corvanectl does with a key no pin names: refuse (without a
    terminal), or take it with trust_new."""
    return ['--trust-new'] if params.get('trust_new') else []


class PrivateFolder(object):
    """A folder only this user can enter, removed with what it holds: the
    report, which holds no secret."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix='corvane-fleet-')
        os.chmod(self.path, 0o700)

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        shutil.rmtree(self.path, ignore_errors=True)
        return False


def run(module, argv, password=None):
    """corvanectl with `argv`, and the password on its standard input when
    one is given; its exit status, standard output and error."""
    # No shell, no locale surprises; neither the environment's password nor
    # its choice on new keys is inherited: the module's options say them.
    environment = {'LC_ALL': 'C.UTF-8', 'CORVANE_PASSWORD': '', 'CORVANE_TRUST': 'refuse'}
    if password is None:
        return module.run_command([module.params['corvanectl']] + argv, environ_update=environment,
                                  check_rc=False)
    if '\n' in password or '\r' in password:
        module.fail_json(msg='the password holds a line break')
    return module.run_command([module.params['corvanectl']] + argv + ['--password-file', '-'],
                              environ_update=environment, data=password_line(password), check_rc=False)


def json_document(text):
    """The JSON that corvanectl printed, or None."""
    try:
        return json.loads(text)
    except ValueError:
        return None


def read_report(path):
    """The rows and the summary of a batch report; ([], {}) without one."""
    try:
        with open(path) as report:
            document = json.load(report)
    except (IOError, OSError, ValueError):
        return [], {}
    return document.get('devices', []), document.get('summary', {})


def run_batch(module, command):
    """Runs one batch command and ends the module with its result."""
    params = module.params
    with PrivateFolder() as folder:
        report = os.path.join(folder.path, 'report.json')
        argv = [command, params['src']] + scan_arguments(params) + target_arguments(params) + key_arguments(params)
        argv += ['--report', report, '--yes', '--quiet',
                 '--parallel', str(params['parallel']), '--retries', str(params['retries'])]
        for option in ('timeout', 'stall_timeout', 'max_failures'):
            if params.get(option) is not None:
                argv += ['--' + option.replace('_', '-'), str(params[option])]
        if params['canary']:
            argv += ['--canary', str(params['canary'])]
        if params['wait_result']:
            argv.append('--wait-result')
        if command == 'update':
            argv.append('--skip-same-version')
            if params.get('bundle_version'):
                argv += ['--bundle-version', params['bundle_version']]
        if module.check_mode:
            argv.append('--dry-run')
        rc, out, err = run(module, argv, params['password'])
        devices, summary = read_report(report)

    changed = any(row.get('result') == 'succeeded' for row in devices)
    failed_rows = [row for row in devices if row.get('result') in FAILED_RESULTS]
    result = dict(changed=changed and not module.check_mode, rc=rc, devices=devices, summary=summary,
                  stderr=err, stderr_lines=err.splitlines())
    if module.check_mode:
        result['changed'] = any(row.get('result') == 'ready' for row in devices)
    if rc == EXIT_SUCCESS:
        module.exit_json(**result)
    if rc == EXIT_IDENTITY_CHANGED:
        message = 'a device shows another key than the one pinned for it; nothing was sent to it'
    elif rc == EXIT_UNTRUSTED:
        message = UNTRUSTED_MESSAGE
    elif rc == EXIT_NO_DEVICE:
        message = 'no device answered on %s' % params['interface']
    elif rc == EXIT_USAGE:
        message = 'corvanectl refused the run: %s' % (err.strip().splitlines() or ['(no reason given)'])[-1]
    elif failed_rows:
        message = '%d of %d devices did not succeed' % (len(failed_rows), len(devices))
    else:
        message = 'corvanectl ended with status %d' % rc
    module.fail_json(msg=message, **result)


def batch_main(command, extra_args=None):
    """The whole of a batch module: its options, their checks, the run."""
    argument_spec = dict(SCAN_ARGS)
    argument_spec.update(TARGET_ARGS)
    argument_spec.update(BATCH_ARGS)
    argument_spec.update(extra_args or {})
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True,
                           mutually_exclusive=[('devices', 'all')])
    if not module.params['all'] and not module.params['devices']:
        module.fail_json(msg='give devices, or all: true')
    run_batch(module, command)
