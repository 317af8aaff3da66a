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
    running status; a device whose login failed has C(error) and C(message) instead.
  - Changes nothing on the devices.
version_added: 1.0.0
author:
  - The Corvane developers
extends_documentation_fragment:
  - corvane.fleet.corvanectl
options:
  name:
    description:
      - Only devices whose host name matches one of these shell patterns (C(Lobby*)).
    type: list
    elements: str
    default: []
  info:
    description:
      - Log in to the devices and add what they tell of themselves.
    type: bool
    default: false
  password:
    description:
      - The devices' password, needed with I(info). Handed to corvanectl on its standard input, never in a file or
        on a command line.
    type: str
  trust_new:
    description:
      - With I(info), pin the key of a device met for the first time and send it the password, as corvanectl's
        C(--trust-new) does. Without it such a device is left out (C(key) is C(new)); enrol the site's devices once
        with M(corvane.fleet.corvane_trust) instead.
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
rc:
  description: corvanectl's exit status.
  returned: always
  type: int
'''

import fnmatch

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.corvane.fleet.plugins.module_utils.corvanectl import (
    EXIT_NO_DEVICE, EXIT_SUCCESS, SCAN_ARGS, UNTRUSTED_MESSAGE, json_document, key_arguments, run,
    scan_arguments)


def matching(devices, patterns):
    if not patterns:
        return devices
    return [device for device in devices
            if any(fnmatch.fnmatchcase(device.get('hostName', ''), pattern) for pattern in patterns)]


def main():
    argument_spec = dict(SCAN_ARGS)
    argument_spec.update(
        name=dict(type='list', elements='str', default=[]),
        info=dict(type='bool', default=False),
        password=dict(type='str', no_log=True),
        trust_new=dict(type='bool', default=False),
    )
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True,
                           required_if=[('info', True, ('password',))])
    params = module.params

    rc, out, err = run(module, ['discover', '--json'] + scan_arguments(params))
    found = json_document(out) if rc in (EXIT_SUCCESS, EXIT_NO_DEVICE) else None
    if found is None:
        module.fail_json(msg='corvanectl discover failed', rc=rc, stderr=err)
    devices = matching(found.get('devices', []), params['name'])

    if params['info'] and devices:
        argv = ['info', '--json'] + scan_arguments(params) + key_arguments(params)
        for device in devices:
            argv += ['--device', device['macAddress']]
        rc, out, err = run(module, argv, params['password'])
        told = json_document(out)
        if not isinstance(told, list):
            module.fail_json(msg='corvanectl info failed', rc=rc, stderr=err)
        by_mac = dict((row.get('macAddress'), row) for row in told)
        devices = [by_mac.get(device['macAddress'], device) for device in devices]

    failed = [device for device in devices if 'error' in device]
    result = dict(changed=False, rc=rc, ansible_facts=dict(corvane_devices=devices))
    untrusted = [device for device in failed if device.get('key') in ('new', 'unknown')]
    if untrusted:
        module.fail_json(msg='%d of %d devices: %s' % (len(untrusted), len(devices), UNTRUSTED_MESSAGE), **result)
    if failed:
        module.fail_json(msg='%d of %d devices could not be logged in to' % (len(failed), len(devices)), **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
