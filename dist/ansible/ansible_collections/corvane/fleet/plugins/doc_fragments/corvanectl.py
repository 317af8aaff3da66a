# -*- coding: utf-8 -*-
# Copyright: The Corvane developers

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    # The scan every module makes on the site host.
    DOCUMENTATION = r'''
options:
  interface:
    description:
      - The site host's network interface the devices answer on, by name or by one of its IPv4 addresses.
    type: str
    required: true
  corvanectl:
    description:
      - The corvanectl program on the site host.
    type: path
    default: corvanectl
  seconds:
    description:
      - How long the scan waits for devices to answer.
    type: int
    default: 5
  probe:
    description:
      - IPv4 addresses or blocks (CIDR) asked directly, for devices deaf to broadcasts.
    type: list
    elements: str
    default: []
  model:
    description:
      - Only devices of these models (any letter case).
    type: list
    elements: str
    default: []
  max_devices:
    description:
      - The most devices a scan lists (corvanectl's default is 256).
    type: int
requirements:
  - corvanectl on the site host, in the same network segment as the devices.
notes:
  - Discovery is a broadcast and does not cross a router; run the module on a host in each site's segment.
'''

    # The devices a module works on.
    TARGETS = r'''
options:
  devices:
    description:
      - The devices, by MAC address, IP address or host name. Give these or I(all).
    type: list
    elements: str
    default: []
  all:
    description:
      - Every device that answers the scan.
    type: bool
    default: false
'''

    # What the three batch operations take on top.
    BATCH = r'''
options:
  src:
    description:
      - The file to send, on the site host.
    type: path
    required: true
  password:
    description:
      - The devices' password. Handed to corvanectl on its standard input; never in a file, on a command line, in a
        log or in the returned values.
    type: str
    required: true
  trust_new:
    description:
      - Pin the key of a device met for the first time and send it the file, as corvanectl's C(--trust-new) does.
        Without it such a device is left out with the result C(new-key) and the host fails; enrol the site's devices
        once, on a network you trust, with M(corvane.fleet.corvane_trust).
    type: bool
    default: false
  parallel:
    description:
      - How many devices are sent the file at once.
    type: int
    default: 1
  timeout:
    description:
      - Seconds one device's upload may take.
    type: int
  stall_timeout:
    description:
      - Seconds an upload may move no byte before it ends as a time-out.
    type: int
  retries:
    description:
      - Tries again of an upload the network broke, with a growing pause.
    type: int
    default: 0
  max_failures:
    description:
      - After this many devices failed, the others are not sent the file.
    type: int
  canary:
    description:
      - The first I(canary) devices go alone; the others only when all of them succeeded.
    type: int
    default: 0
  wait_result:
    description:
      - Wait for each device's own verdict on the file, not only for the upload.
    type: bool
    default: false
attributes:
  check_mode:
    description: Runs corvanectl with C(--dry-run) - the plan, and nothing sent.
    support: full
  diff_mode:
    description: No diff is shown.
    support: none
'''
