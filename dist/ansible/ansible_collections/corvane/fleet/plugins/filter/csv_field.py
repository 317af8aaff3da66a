# Copyright: the Corvane developers
# GNU General Public License v3.0+ (see LICENSE)
"""corvane.fleet.csv_field: one field of a CSV report, as corvanectl writes one."""

DOCUMENTATION = r"""
name: csv_field
short_description: One field of a CSV report, safe for terminals and spreadsheets
description:
  - Escapes control characters (C{\n}, C{\r}, C{\t}, other C0 and C1 codes as C{\xNN}) and the
    characters that change the direction of text (as C{\u{NNNN}}), as corvanectl's tables and CSV do,
    so that a device's name can neither move a terminal's cursor, nor split a row, nor cut a reader's line.
  - Keeps a field that a spreadsheet would take for a formula text (a leading C{'}), and quotes it.
options:
  _input:
    description: The value; anything else than a string is written as its text.
    type: raw
    required: true
"""

EXAMPLES = r"""
- ansible.builtin.debug:
    msg: "{{ [site, row.hostName] | map('corvane.fleet.csv_field') | join(',') }}"
"""

RETURN = r"""
_value:
  description: The field, quoted.
  type: str
"""

_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
_DIRECTION = set(range(0x200E, 0x2010)) | set(range(0x202A, 0x202F)) | set(range(0x2066, 0x206A))


def printable(text):
    shown = []
    for c in text:
        code = ord(c)
        if c in _NAMED:
            shown.append(_NAMED[c])
        elif code < 0x20 or 0x7F <= code < 0xA0:
            shown.append("\\x%02x" % code)
        elif code in _DIRECTION:
            shown.append("\\u{%04x}" % code)
        else:
            shown.append(c)
    return "".join(shown)


def csv_field(value):
    text = printable("" if value is None else str(value))
    if text[:1] in ("=", "+", "-", "@"):
        text = "'" + text
    return '"' + text.replace('"', '""') + '"'


class FilterModule(object):
    def filters(self):
        return {"csv_field": csv_field}
