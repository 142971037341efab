#!/usr/bin/python3
# A screen reader's ear on the accessibility bus: prints one line per text
# change any program reports, "TYPE<TAB>ROLE<TAB>TEXT", and READY once it
# listens. `--check` only tells whether the AT-SPI bindings are installed.
import sys

try:
    import gi

    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi
except (ImportError, ValueError) as error:
    print(f"no AT-SPI bindings: {error}", file=sys.stderr)
    sys.exit(77)

if sys.argv[1:] == ["--check"]:
    sys.exit(0)


def heard(event):
    try:
        role = event.source.get_role_name()
    except Exception:  # the source may be gone by now
        role = "?"
    text = str(event.any_data).replace("\n", " ")
    print(f"{event.type}\t{role}\t{text}", flush=True)


listener = Atspi.EventListener.new(heard)
listener.register("object:text-changed:insert")
print("READY", flush=True)
Atspi.event_main()
