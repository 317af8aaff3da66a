#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: The Corvane developers

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: corvane_trust
short_description: Enrol the keys of a site's devices
description:
  - Runs C(corvanectl trust enroll) on the site host - the step a site takes once, on a network the operator trusts.
    Every device found that has no pinned key has the key it shows read in a TLS handshake that sends nothing, and
    pinned in the site host's store of known devices.
  - From then on the batch modules send the password only to those keys; a device that shows another key is left out
    as C(identity-changed), and a device met later is left out as C(new-key) unless it is enrolled too (or the batch
    is given I(trust_new)).
  - A pinned key is never replaced here, nor is a key taken where another device claims the address or the key is
    another device's pin. A device with a changed key fails the host; replace its pin with
    C(corvanectl trust accept) once the device is known to be genuine.
  - Sends no password.
version_added: 1.1.0
author:
  - The Corvane developers
extends_documentation_fragment:
  - corvane.fleet.corvanectl
  - corvane.fleet.corvanectl.targets
attributes:
  check_mode:
    description: Nothing is pinned; the task is skipped.
    support: none
  diff_mode:
    description: No diff is shown.
    support: none
'''

EXAMPLES = r'''
- name: Enrol every device of the site, once, on a network you trust
  corvane.fleet.corvane_trust:
    interface: eth1
    all: true
'''

RETURN = r'''
devices:
  description: One row per device found.
  returned: always
  type: list
  elements: dict
  sample:
    - macAddress: "02:00:0A:D5:00:0A"
      ipAddress: 10.213.0.10
      model: TQ-730
      hostName: Lobby Display
      key: new
      publicKey: sha256//Etqrw7DDtSl/f6yc/lxkiFxca+HP4MfE6134vVUPpog=
      result: enrolled
      message: ""
rc:
  description: corvanectl's exit status.
  returned: always
  type: int
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.corvane.fleet.plugins.module_utils.corvanectl import (
    EXIT_NO_DEVICE, EXIT_SUCCESS, OWN_OPTIONS, SCAN_ARGS, TARGET_ARGS, json_document, named, option_arguments,
    reason, run)

COMMANDS = ('trust',)
ARGUMENT_SPEC = dict(SCAN_ARGS)
ARGUMENT_SPEC.update(TARGET_ARGS)


def main():
    module = AnsibleModule(argument_spec=ARGUMENT_SPEC, supports_check_mode=False,
                           mutually_exclusive=[('devices', 'all'), ('devices_file', 'all')])
    params = module.params
    if not params['all'] and not params['devices'] and not params['devices_file']:
        module.fail_json(msg='give devices, devices_file, or all: true')
    rc, out, err = run(module, ['trust', 'enroll', '--output', 'json']
                       + option_arguments(params, sorted(name for name in ARGUMENT_SPEC if name not in OWN_OPTIONS)))
    rows = json_document(out)
    if not isinstance(rows, list):
        rows = []
    result = dict(changed=any(row.get('result') == 'enrolled' for row in rows), rc=rc, devices=rows,
                  stderr=err, stderr_lines=err.splitlines())
    if rc == EXIT_SUCCESS:
        module.exit_json(**result)
    failed = [row for row in rows if row.get('result') not in ('enrolled', 'known')]
    if rc == EXIT_NO_DEVICE:
        message = 'no device answered on %s' % params['interface']
    elif failed:
        message = '%d of %d devices not enrolled: %s' % (len(failed), len(rows), named(failed))
    else:
        message = 'corvanectl ended with status %d: %s' % (rc, reason(err))
    module.fail_json(msg=message, **result)


if __name__ == '__main__':
    main()
