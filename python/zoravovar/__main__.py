"""python3 -m zoravovar export: a recording of trackd-monitor --record as CSV or HDF5, from the shell."""
import argparse
import sys

PROGRAM = "zoravovar"
USAGE = "python3 -m zoravovar export RECORDING (--csv OUT | --hdf5 OUT) [--overwrite]"
EXAMPLES = """examples:
  python3 -m zoravovar export session.jsonl --csv session.csv
      one row per frame and sensor in session.csv, the markers (if any) in session.markers.csv
  python3 -m zoravovar export session.jsonl --hdf5 session.h5 --overwrite
      the recording's arrays as datasets and its header as attributes, replacing session.h5

exit status: 0 written, 1 the recording or the output failed, 2 bad usage"""


class Parser(argparse.ArgumentParser):
    """argparse whose every error line starts with the program's name, with exit status 2."""

    def error(self, message):
        self.exit(2, f"{PROGRAM}: {message}\n{PROGRAM}: run python3 -m zoravovar --help for the usage\n")


def parser():
    from . import __version__

    top = Parser(prog=PROGRAM, formatter_class=argparse.RawDescriptionHelpFormatter, usage=USAGE,
                 description="zoravovar: exports recordings of trackd-monitor --record to the formats analysts "
                             "use.", epilog=EXAMPLES)
    top.add_argument("--version", action="version", version=f"{PROGRAM} {__version__}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    commands.required = True
    export = commands.add_parser("export", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EXAMPLES,
                                 usage=USAGE,
                                 help="write a recording as CSV (pandas) or HDF5 (h5py)",
                                 description="Writes RECORDING as CSV (Recording.to_csv) or HDF5 (Recording.to_hdf5).")
    export.add_argument("recording", metavar="RECORDING", help="a file trackd-monitor --record wrote")
    output = export.add_mutually_exclusive_group(required=True)
    output.add_argument("--csv", metavar="OUT", help="write CSV to OUT (markers beside it, OUT.markers.csv)")
    output.add_argument("--hdf5", metavar="OUT", help="write HDF5 to OUT")
    export.add_argument("--overwrite", action="store_true", help="replace OUT if it exists")
    return top


def main(argv=None):
    arguments = parser().parse_args(argv)
    from . import RecordingError, load_recording

    try:
        recording = load_recording(arguments.recording)
        if arguments.csv is not None:
            written = recording.to_csv(arguments.csv, overwrite=arguments.overwrite)
        else:
            recording.to_hdf5(arguments.hdf5, overwrite=arguments.overwrite)
            written = [arguments.hdf5]
    except FileExistsError as error:
        sys.exit(f"{PROGRAM}: {error.filename} exists; pass --overwrite to replace it")
    except (OSError, RecordingError, ImportError, ValueError) as error:
        sys.exit(f"{PROGRAM}: {error}")
    print(f"{PROGRAM}: wrote {len(recording)} frames of {arguments.recording} to {' and '.join(written)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
