#!/usr/bin/python3
# A screen reader's ear on the accessibility bus: one line per text insertion,
# "TYPE<TAB>ROLE<TAB>TEXT", after READY. `--check`: are the bindings there?
import sys

try:
    import gi

    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi
except (ImportError, ValueError) as error:
    sys.exit(f"no AT-SPI bindings: {error}")
if sys.argv[1:] == ["--check"]:
    sys.exit(0)


def heard(event):
    print(f"{event.type}\t{event.source.get_role_name()}\t{event.any_data}", flush=True)


listener = Atspi.EventListener.new(heard)
listener.register("object:text-changed:insert")
print("READY", flush=True)
Atspi.event_main()
