#!/usr/bin/env bash
# Regenerates man/ and NAMESPACE from the roxygen2 comments in R/.
set -euo pipefail
cd "$(dirname "$0")/.."
Rscript -e 'roxygen2::roxygenise(load_code = "source")'
