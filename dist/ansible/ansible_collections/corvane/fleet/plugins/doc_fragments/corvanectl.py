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
      - The most devices a scan lists, up to 1024 (corvanectl's default is 256). With I(all), see I(table_full) for a
        site that holds more.
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
  devices_file:
    description:
      - The devices listed in this file on the site host - an id per line, or a report's rows (CSV or JSON lines),
        so that the failed rows of a report can be fed back.
    type: path
  all:
    description:
      - Every device that answers the scan.
    type: bool
    default: false
  table_full:
    description:
      - With I(all), what to do when the scan's table fills (the site may hold more devices than I(max_devices)) -
        C(refuse) sends nothing and fails the host with corvanectl's reason; C(proceed) works on the devices listed.
      - Unset, corvanectl's default (C(refuse)).
    type: str
    choices: [refuse, proceed]
'''

    # The devices' passwords.
    PASSWORDS = r'''
options:
  password:
    description:
      - The password of every device that I(passwords) and I(password_file) name no other for.
    type: str
  passwords:
    description:
      - Devices' own passwords - the key a device's MAC address, IP address or host name, the value its password.
        Wins over I(password) and I(password_file) for that device.
    type: dict
  password_file:
    description:
      - A file on the site host in corvanectl's password file format - one password for every device, or
        C(<id> <password>) lines (C(*) for every other device). Read by the module; I(password) and I(passwords)
        win over its lines.
    type: path
  trust_new:
    description:
      - Pin the key of a device met for the first time and send it the password, as corvanectl's C(--trust-new) does.
        Without it such a device is left out with the result C(new-key); enrol the site's devices once, on a network
        you trust, with M(corvane.fleet.corvane_trust).
    type: bool
    default: false
notes:
  - The passwords go to corvanectl together on its standard input (C(--password-file -)) - never in a file, on a
    command line, in a log or in the returned values. Give one of I(password), I(passwords) or I(password_file).
'''

    # What the three batch operations take on top.
    BATCH = r'''
options:
  src:
    description:
      - The file to send, on the site host.
    type: path
    required: true
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
      - Tries again of an upload the network broke, with a growing pause, 0 to 10.
    type: int
    default: 0
  retry_delay:
    description:
      - Seconds before the first further try (corvanectl's default 1); doubled after every try, at most 60.
    type: int
  retry_max_time:
    description:
      - Seconds after a device's first try past which no further try starts (no limit unless given).
    type: int
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
  result_timeout:
    description:
      - With I(wait_result), seconds to wait for a device's verdict (corvanectl's default 600).
    type: int
  strict:
    description:
      - Send nothing when any device fails the check before the uploads (its login, its state).
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
