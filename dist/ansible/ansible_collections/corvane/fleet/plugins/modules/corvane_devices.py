#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: The Corvane developers

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: corvane_devices
short_description: The devices of a site as facts
description:
  - Runs C(corvanectl discover) on the site host and sets the fact C(corvane_devices) - every device that answered,
    with its model, host name, IP address and MAC address.
  - With I(info), also logs in to them (C(corvanectl info)) and adds the version, serial number, network settings and
    running status. A device that could not be read (its login failed, its key is new or changed) is left out of the
    fact and listed in C(unreadable) with its reason; the host fails for it only with I(fail_on_unreadable).
  - Changes nothing on the devices.
version_added: 1.0.0
author:
  - The Corvane developers
extends_documentation_fragment:
  - corvane.fleet.corvanectl
  - corvane.fleet.corvanectl.passwords
options:
  name:
    description:
      - Only devices whose host name matches one of these shell patterns (C(Lobby*)).
    type: list
    elements: str
    default: []
  count:
    description:
      - Stop the scan as soon as this many devices have answered.
    type: int
  info:
    description:
      - Log in to the devices and add what they tell of themselves. Needs I(password), I(passwords) or
        I(password_file).
    type: bool
    default: false
  fail_on_unreadable:
    description:
      - With I(info), fail the host when a device could not be read (the fact is then not set). Off, such devices are
        listed in C(unreadable), named in a warning, and the others are the fact.
    type: bool
    default: false
attributes:
  check_mode:
    description: Reads only; runs as always.
    support: full
  diff_mode:
    description: No diff is shown.
    support: none
'''

EXAMPLES = r'''
- name: The site's devices
  corvane.fleet.corvane_devices:
    interface: eth1

- name: The lobby's TQ-730 devices, with their versions
  corvane.fleet.corvane_devices:
    interface: eth1
    model: [TQ-730]
    name: ["Lobby*"]
    info: true
    password: "{{ corvane_password }}"

- name: Their versions
  ansible.builtin.debug:
    msg: "{{ corvane_devices | map(attribute='version') | list }}"
'''

RETURN = r'''
ansible_facts:
  description: The facts set.
  returned: always
  type: dict
  contains:
    corvane_devices:
      description: Every device that answered (and matched), by IP address.
      type: list
      elements: dict
      sample:
        - model: TQ-730
          hostName: Lobby Display
          ipAddress: 10.213.0.10
          macAddress: "02:00:0A:D5:00:0A"
          version: 2.7.1
          serialNumber: TQ730-13959178
          runningStatus: idle
unreadable:
  description: The devices that could not be read with I(info), with their result and reason.
  returned: always
  type: list
  elements: dict
  sample:
    - macAddress: "02:00:0A:D5:00:0B"
      ipAddress: 10.213.0.11
      hostName: Meeting Room 2
      model: TQ-360
      key: known
      result: failed
      code: "0x80110001"
      message: "Wrong password: the device refused it."
rc:
  description: corvanectl's exit status.
  returned: always
  type: int
'''

import fnmatch

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.corvane.fleet.plugins.module_utils.corvanectl import (
    EXIT_NO_DEVICE, EXIT_SOME_FAILED, EXIT_SUCCESS, PASSWORD_ARGS, SCAN_ARGS, UNTRUSTED_MESSAGE, json_document, named,
    option_arguments, password_text, reason, run, scan_arguments)

COMMANDS = ('discover', 'info')
ARGUMENT_SPEC = dict(SCAN_ARGS)
ARGUMENT_SPEC.update(PASSWORD_ARGS)
ARGUMENT_SPEC.update(
    name=dict(type='list', elements='str', default=[]),
    count=dict(type='int'),
    info=dict(type='bool', default=False),
    fail_on_unreadable=dict(type='bool', default=False),
)

# What a device's key tells of why it could not be read.
KEY_RESULTS = {'new': 'new-key', 'changed': 'identity-changed'}


def matching(devices, patterns):
    if not patterns:
        return devices
    return [device for device in devices
            if any(fnmatch.fnmatchcase(device.get('hostName', ''), pattern) for pattern in patterns)]


def unreadable_row(device):
    row = dict((field, device.get(field, '')) for field in ('macAddress', 'ipAddress', 'hostName', 'model', 'key'))
    row.update(result=KEY_RESULTS.get(device.get('key'), 'failed'), code=device.get('error', ''),
               message=device.get('message', ''))
    return row


def main():
    module = AnsibleModule(argument_spec=ARGUMENT_SPEC, supports_check_mode=True,
                           required_if=[('info', True, ('password', 'passwords', 'password_file'), True)])
    params = module.params

    rc, out, err = run(module, ['discover', '--json'] + scan_arguments(params) + option_arguments(params, ('count',)))
    found = json_document(out) if rc in (EXIT_SUCCESS, EXIT_SOME_FAILED, EXIT_NO_DEVICE) else None
    if not isinstance(found, dict):
        module.fail_json(msg='corvanectl discover failed: %s' % reason(err), rc=rc, stderr=err)
    if rc == EXIT_SOME_FAILED:
        # The table filled: the devices listed are facts, the others are not.
        module.warn(reason(err))
    devices = matching(found.get('devices', []), params['name'])

    unreadable = []
    if params['info'] and devices:
        argv = ['info', '--json'] + scan_arguments(params) + option_arguments(params, ('trust_new',))
        for device in devices:
            argv += ['--device', device['macAddress']]
        rc, out, err = run(module, argv, password_text(module))
        told = json_document(out)
        if not isinstance(told, list):
            module.fail_json(msg='corvanectl info failed: %s' % reason(err), rc=rc, stderr=err)
        by_mac = dict((row.get('macAddress'), row) for row in told)
        devices = [by_mac.get(device['macAddress'], dict(device, error='', message='not in the answer'))
                   for device in devices]
        unreadable = [unreadable_row(device) for device in devices if 'error' in device]
        devices = [device for device in devices if 'error' not in device]

    result = dict(changed=False, rc=rc, unreadable=unreadable, ansible_facts=dict(corvane_devices=devices))
    if unreadable:
        message = '%d of %d devices could not be read: %s' % (len(unreadable), len(devices) + len(unreadable),
                                                              named(unreadable))
        if any(row['key'] in ('new', 'unknown') for row in unreadable):
            message += '. ' + UNTRUSTED_MESSAGE
        if params['fail_on_unreadable']:
            module.fail_json(msg=message, **result)
        module.warn(message)
    # Ansible takes a result with a status other than 0 for a failure
    # unless it says otherwise.
    module.exit_json(failed=False, **result)


if __name__ == '__main__':
    main()
