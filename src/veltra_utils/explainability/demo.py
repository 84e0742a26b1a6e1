"""What ``make demo`` runs: the command line on a generated churn table, end to end.

    python -m veltra_utils.explainability.demo [FOLDER]

1. A generated customer table (``datasets.churn_table``: text columns plan and
   region, whole-number columns tenure and support calls, a monthly charge)
   and the one-hot + logistic-regression pipeline fitted on it are written to
   FOLDER (default: ``demo/``) as ``train.csv`` and ``model.skops``, with four
   customers to explain in ``records.csv``; the last has a plan the training
   data never held, as production records do.
2. ``veltra-explain stats`` computes the training statistics once.
3. ``veltra-explain explain --format table --report demo-report.html`` scores
   and explains the customers from the statistics alone, prints a table per
   customer and writes the HTML report.
"""
import os
import shlex
import sys
import time
from typing import Dict, List, Optional

from veltra_utils.explainability import cli
from veltra_utils.explainability.datasets import LABEL, churn_model, churn_table

PERTURBATIONS = "2000"
TOP_FEATURES = "5"
REPORT = "demo-report.html"

CUSTOMERS = [
    {"plan": "basic", "region": "south", "tenure_months": 2, "support_calls": 5,
     "monthly_charge": 64.90},
    {"plan": "premium", "region": "north", "tenure_months": 58, "support_calls": 0,
     "monthly_charge": 92.50},
    {"plan": "standard", "region": "east", "tenure_months": 14, "support_calls": 2,
     "monthly_charge": 55.00},
    # A plan the training data never held: explained all the same, the plan marked as new.
    {"plan": "enterprise", "region": "west", "tenure_months": 30, "support_calls": 1,
     "monthly_charge": 120.00},
]


def write_inputs(folder: str) -> Dict[str, str]:
    """The training table, the fitted model and the customers to explain, as a user has them."""
    import pandas as pd
    import skops.io as sio

    table = churn_table(rows=1200, seed=42)
    model = churn_model(table.drop(columns=LABEL), table[LABEL])
    os.makedirs(folder, exist_ok=True)
    paths = {name: os.path.join(folder, name)
             for name in ("train.csv", "model.skops", "records.csv", "stats.json")}
    table.to_csv(paths["train.csv"], index=False)
    sio.dump(model, paths["model.skops"])
    pd.DataFrame(CUSTOMERS).to_csv(paths["records.csv"], index=False)
    return paths


def main(argv: Optional[List[str]] = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    folder = argv[0] if argv else "demo"
    started = time.perf_counter()
    paths = write_inputs(folder)
    stats = ["stats", "--train", paths["train.csv"], "--label", LABEL, "-o", paths["stats.json"]]
    explain = ["explain", "--stats", paths["stats.json"], "--model", paths["model.skops"],
               "--records", paths["records.csv"], "--format", "table", "--report", REPORT,
               "--features-count", TOP_FEATURES, "--perturbations", PERTURBATIONS,
               "--title", "Customer churn: why the model predicts what it does"]
    print("$ veltra-explain " + shlex.join(stats), flush=True)
    if cli.main(stats) != cli.EXIT_OK:
        return 1
    print("\n$ veltra-explain " + shlex.join(explain) + "\n", flush=True)
    status = cli.main(explain)
    if status not in (cli.EXIT_OK, cli.EXIT_RECORDS_FAILED):
        return 1
    failed = _failed_count(REPORT) if status == cli.EXIT_RECORDS_FAILED else 0
    print("\nExplained {0} of {1} records, {2} failed, in {3:.1f} s ({4} LIME samples each)."
          .format(len(CUSTOMERS) - failed, len(CUSTOMERS), failed,
                  time.perf_counter() - started, PERTURBATIONS))
    print("Report: {0}".format(os.path.abspath(REPORT)))
    print("\nRow 3's plan, enterprise, is one the training data never held, on purpose: production\n"
          "records bring such values; the row is explained all the same, its plan marked (new).")
    if failed:
        print("A failed record is printed as an error response with its reason; the report "
              "groups the failures by reason.")
    print("\n" + _how_to_run())
    return 0


def _how_to_run() -> str:
    """How to run the command from the environment running the demo, which need not be active."""
    folder = os.path.dirname(sys.executable)
    relative = os.path.relpath(folder)
    shown = folder if relative.startswith("..") else relative
    command = os.path.join(shown, "veltra-explain")
    activate = os.path.join(shown, "activate")
    if not os.path.exists(command):  # the package is importable but not installed as a command
        program = shlex.quote(sys.executable) + " -m veltra_utils.explainability"
        lines = ["Run the command yourself as {0}.".format(program)]
    elif os.path.exists(activate):
        program = "veltra-explain"
        lines = ["Run the command yourself: put this environment on your PATH with",
                 "  source {0}".format(shlex.quote(activate)),
                 "or call it by its path, {0}.".format(shlex.quote(command))]
    else:
        program = shlex.quote(command)
        lines = ["Run the command yourself as {0}.".format(program)]
    lines += ["On your own data (the README's quickstart starts from a scikit-learn model):",
              "  {0} stats --train train.csv --label <target column> -o stats.json".format(program),
              "  {0} explain --stats stats.json --model model.skops --records scored.csv "
              "--report report.html".format(program)]
    return "\n".join(lines)


def _failed_count(report_path):
    """How many records the report marks as failed (the command says only that some did)."""
    with open(report_path, encoding="utf-8") as stream:
        return stream.read().count('class="error"')


if __name__ == "__main__":
    sys.exit(main())
