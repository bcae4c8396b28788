"""``python -m calvex``: the ``calvex`` command."""

from .cli import console_main

console_main()
