"""Performance figures for _core_fips, printed as one table.

Run it through tools/bench, which builds the module and the raw library loop first:

    tools/bench [--rounds N] [--only NAME,...] [--json PATH] [--plot PATH] [--strict]

bench/runner.py measures, runs the children and prints the table; bench/sections.py holds the
cases, each a function registered with @section, in the table's order.
"""
import sys

import runner
import sections  # noqa: F401  (registers the cases with the runner)

if __name__ == "__main__":
    sys.exit(runner.main())
