#!/usr/bin/env python3
"""End-to-end tests in the appliance VM (ctest label "vm").

    vmtest.py --source DIR --state DIR --program FILE [--tool FILE]... start
    vmtest.py --source DIR --state DIR check NAME
    vmtest.py --source DIR --state DIR --client FILE server NAME
    vmtest.py --source DIR --state DIR stop

"start" builds the boot files and boots one VM in the background; the
checks share it; "stop" ends it and keeps the console in DIR/console.log.
Exit code 0 passed, 1 failed, 77 skipped.
"""
import argparse
import os
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from vmharness import Fail, Skip, Vm  # noqa: E402
import vmchecks  # noqa: E402
import vmserverchecks  # noqa: E402

SKIPPED = 77


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", required=True)
    parser.add_argument("--state", required=True)
    parser.add_argument("--program")
    parser.add_argument("--tool", action="append", default=[])
    parser.add_argument("--file", action="append", default=[], help="SRC=DEST, another file for the guest")
    parser.add_argument("--client", help="tools/vm_usbcheck, for the server checks")
    parser.add_argument("step", choices=["start", "check", "server", "stop"])
    parser.add_argument("name", nargs="?")
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.source, "vm"))

    vmserverchecks.CLIENT = args.client
    vm = Vm(args.state, args.source)
    try:
        if args.step == "start":
            if not args.program or not os.path.exists(args.program):
                raise Fail("the appliance program is not built: %s" % args.program)
            seconds = vm.start(args.program, args.tool, [os.path.join(HERE, "params.dat")], args.file)
            print("vm: booted; banner after %.1f s (run directory %s)" % (seconds, vm.run_dir))
        elif args.step == "stop":
            vm.stop()
        else:
            table = vmchecks.CHECKS if args.step == "check" else vmserverchecks.CHECKS
            if args.name not in table:
                raise Fail("no %s check %r (known: %s)" % (args.step, args.name, ", ".join(sorted(table))))
            vm.require()
            table[args.name](vm)
            print("vm: %s %s passed" % (args.step, args.name))
    except Skip as skip:
        if args.step == "start":
            vm.mark_skipped(str(skip))
        print("vm: skipped: %s" % skip)
        return SKIPPED
    except Fail as failure:
        print("vm: FAILED: %s" % failure)
        if args.step in ("check", "server"):
            print("--- last console lines ---\n%s" % "\n".join(vm.console().splitlines()[-30:]))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
