"""Holds the corvane.fleet modules to the corvanectl they run: every option
of their commands' --help is a module option (snake_case) or listed, with
its reason, as not taken in module_utils/corvanectl.py; every module option
is one of corvanectl's or the module's own; and a module documents exactly
the options it takes.

    options.py <corvanectl> <ansible-doc JSON folder>

Run by sanity.sh with the collection on the Python path."""
import importlib
import json
import os
import re
import subprocess
import sys

from ansible_collections.corvane.fleet.plugins.module_utils import corvanectl as utils

program, docs = sys.argv[1:3]
problems = []
for name in sorted(os.listdir(docs)):
    module_name = name[:-len('.json')]
    module = importlib.import_module('ansible_collections.corvane.fleet.plugins.modules.' + module_name)
    helped = set()
    for command in module.COMMANDS:
        text = subprocess.run([program, command, '--help'], check=True, capture_output=True, text=True).stdout
        # An option's own line, not a description's that goes on with one.
        helped |= set(re.findall(r'^  (?:-\w, )?--([a-z0-9-]+)', text, re.MULTILINE))
    left = set(utils.NOT_TAKEN) | set(utils.NOT_TAKEN_BY.get(module_name, {}))
    taken = set(utils.RENAMED.get(option, option).replace('_', '-')
                for option in module.ARGUMENT_SPEC if option not in utils.OWN_OPTIONS)
    for option in sorted(helped - left - taken):
        problems.append('%s: corvanectl %s has --%s, the module has no %s and does not list it as not taken'
                        % (module_name, '/'.join(module.COMMANDS), option, option.replace('-', '_')))
    for option in sorted(taken - helped):
        problems.append('%s: --%s is no option of corvanectl %s' % (module_name, option, '/'.join(module.COMMANDS)))
    documented = set(json.load(open(os.path.join(docs, name)))['corvane.fleet.' + module_name]['doc']['options'])
    if documented != set(module.ARGUMENT_SPEC):
        problems.append('%s: documented but not taken: %s; taken but not documented: %s'
                        % (module_name, sorted(documented - set(module.ARGUMENT_SPEC)),
                           sorted(set(module.ARGUMENT_SPEC) - documented)))
print('\n'.join(problems) or 'options: the modules take every option of corvanectl they do not list as not taken')
sys.exit(1 if problems else 0)
