"""The command line: ``python -m zandrel`` (or ``zandrel``).

- ``python -m zandrel [device] [--gap MM] [--cell MM] ...``: the default
  device, a permanent-magnet clamp with saturating steel (see
  :mod:`zandrel.device`);
- ``python -m zandrel solve problem.toml``: a model described by a problem
  file (see :mod:`zandrel.problem`);
- ``python -m zandrel validate``: a meshed sphere against the analytic
  solution (see :mod:`zandrel.validate`).
"""
import argparse
import logging
import sys

COMMANDS = ("device", "solve", "validate")


def _parser():
    from zandrel import device, problem, validate

    parser = argparse.ArgumentParser(prog="python -m zandrel", description="Magnetostatics of tetrahedral meshes. "
                                     "Without a command, runs the default device.")
    parser.add_argument("-v", "--verbose", action="store_true", help="log the solver's progress")
    commands = parser.add_subparsers(dest="command", metavar="{device,solve,validate}")
    for name, module, text in (("device", device, device.DESCRIPTION),
                               ("solve", problem, "Solve the model of a TOML problem file and write its outputs."),
                               ("validate", validate, validate.DESCRIPTION)):
        sub = commands.add_parser(name, help=text.split(";")[0].split(":")[0], description=text)
        module.add_arguments(sub)
        sub.set_defaults(module=module, subparser=sub)
    return parser


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    # No command: the default device, with whatever options follow.
    position = next((k for k, a in enumerate(argv) if not a.startswith("-")), None)
    asks_help = any(a in ("-h", "--help") for a in argv)
    if (position is None or argv[position] not in COMMANDS) and not (asks_help and position is None):
        flags = [a for a in argv if a in ("-v", "--verbose")]
        argv = flags + ["device"] + [a for a in argv if a not in ("-v", "--verbose")]
    parser = _parser()
    args = parser.parse_args(argv)
    if hasattr(args.module, "check_arguments"):
        args.module.check_arguments(args.subparser, args)
    logging.basicConfig(level=logging.INFO if args.verbose else logging.WARNING, format="%(message)s")
    return args.module.main(args)


if __name__ == "__main__":
    sys.exit(main())
