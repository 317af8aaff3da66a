#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: The Corvane developers

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: corvane_image
short_description: Send a standby-screen image to devices of a site
description:
  - Runs C(corvanectl image) on the site host and returns every device's row of its report.
  - A device is sent the image on every run; the devices cannot tell which image they show.
  - A device that fails (or is skipped, interrupted, of unknown result, or shows another key than the one pinned
    for it) fails the host, and every device's row is still returned; the message names the first five such devices
    with their result and reason.
version_added: 1.0.0
author:
  - The Corvane developers
extends_documentation_fragment:
  - corvane.fleet.corvanectl
  - corvane.fleet.corvanectl.targets
  - corvane.fleet.corvanectl.passwords
  - corvane.fleet.corvanectl.batch
'''

EXAMPLES = r'''
- name: Send a standby-screen image to two devices, one at a time
  corvane.fleet.corvane_image:
    src: /srv/images/standby.png
    interface: eth1
    devices:
      - 10.213.0.11
      - Reception
    password: "{{ corvane_password }}"

- name: Every device of the site, four at once, one canary first
  corvane.fleet.corvane_image:
    src: /srv/images/standby.png
    interface: eth1
    all: true
    parallel: 4
    canary: 1
    retries: 2
    password: "{{ corvane_password }}"
'''

RETURN = r'''
devices:
  description: One row per device, with the fields of corvanectl's report.
  returned: always
  type: list
  elements: dict
  sample:
    - model: TQ-730
      hostName: Lobby Display
      ipAddress: 10.213.0.10
      macAddress: "02:00:0A:D5:00:0A"
      versionBefore: 2.7.1
      versionAfter: 2.7.1
      fileName: standby.png
      fileSize: 262144
      fileMd5: 0cc175b9c0f1b6a831c399e269772661
      result: succeeded
      code: "0x00000000"
      httpStatus: 200
      message: ""
      attempts: 1
      bytesSent: 262474
      start: "2026-12-10T10:00:00.000Z"
      end: "2026-12-10T10:00:03.100Z"
      durationSeconds: 3.1
summary:
  description: How many devices came to each result, and the run's seconds and exit status.
  returned: always
  type: dict
  sample: {"operation": "image", "succeeded": 8, "failed": 0, "skipped": 0, "seconds": 3.2}
rc:
  description: corvanectl's exit status (0 success, 1 a device failed, 2 refused, 3 no device, 4 a result unknown,
    5 a device's identity changed).
  returned: always
  type: int
stderr:
  description: What corvanectl said on standard error (no password is ever part of it).
  returned: always
  type: str
'''

from ansible_collections.corvane.fleet.plugins.module_utils.corvanectl import batch_main, batch_spec

COMMANDS = ('image',)
ARGUMENT_SPEC = batch_spec()


def main():
    batch_main(COMMANDS[0], ARGUMENT_SPEC)


if __name__ == '__main__':
    main()
