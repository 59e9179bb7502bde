"""Command line: build bundles from CSV files or generate the synthetic market.

    tessal import --path P --bars B.csv --instruments I.csv [--industries ...]
                  [--style ...] [--factors ...] [--calendar ...] [--overwrite]
    tessal generate --path P [--instruments N] [--start D] [--end D] [--seed S]
    tessal verify P          checks every file of a bundle, checksums included
"""
import argparse
import sys

from .bundle.csv_import import import_csv
from .bundle.format import open_bundle
from .bundle.synthetic import generate_market
from .errors import BundleError

__all__ = ["main", "build_parser"]


def build_parser():
    parser = argparse.ArgumentParser(prog="tessal", description="tessal data bundle tools")
    sub = parser.add_subparsers(dest="command", required=True)

    imp = sub.add_parser("import", help="build a bundle from CSV files")
    imp.add_argument("--path", required=True, help="bundle directory to create")
    imp.add_argument("--bars", required=True,
                     help="daily bars: date, order_book_id, open, high, low, close, volume, "
                          "total_turnover")
    imp.add_argument("--instruments", required=True,
                     help="instruments: order_book_id, symbol, type, listed_date, de_listed_date")
    imp.add_argument("--industries", help="industry records: source, industry_name, "
                                          "order_book_id, start_date, version")
    imp.add_argument("--style", help="style exposures: date, order_book_id, one column per factor")
    imp.add_argument("--factors", help="stored factors: date, order_book_id, one column per factor")
    imp.add_argument("--calendar", help="trading dates: a column 'date'")
    imp.add_argument("--overwrite", action="store_true", help="replace an existing bundle")

    gen = sub.add_parser("generate", help="write the synthetic market")
    gen.add_argument("--path", required=True, help="bundle directory to create")
    gen.add_argument("--instruments", type=int, default=800, help="number of stocks (800)")
    gen.add_argument("--start", default="2017-01-03", help="first data date (2017-01-03)")
    gen.add_argument("--end", default="2023-12-29", help="last data date (2023-12-29)")
    gen.add_argument("--seed", type=int, default=7, help="random seed (7)")
    gen.add_argument("--overwrite", action="store_true", help="replace an existing bundle")

    ver = sub.add_parser("verify", help="check a bundle, checksums included")
    ver.add_argument("path", help="bundle directory")
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        if args.command == "import":
            path = import_csv(args.path, args.bars, args.instruments, industries=args.industries,
                              style=args.style, factors=args.factors, calendar=args.calendar,
                              overwrite=args.overwrite)
            print("imported bundle {}".format(path))
        elif args.command == "generate":
            path = generate_market(args.path, n_instruments=args.instruments, start=args.start,
                                   end=args.end, seed=args.seed, overwrite=args.overwrite)
            print("generated bundle {}".format(path))
        else:
            bundle = open_bundle(args.path, check_sums=True)
            print("bundle {} is sound: {} dates x {} instruments, {} to {}".format(
                bundle.path, bundle.n_dates, len(bundle.instruments), bundle.meta["data_start"],
                bundle.meta["data_end"]))
    except (BundleError, ValueError, OSError) as exc:
        print("tessal: error: {}".format(exc), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
