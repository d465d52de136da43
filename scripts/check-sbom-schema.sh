#!/usr/bin/env bash
# Checks an SBOM against the SPDX 2.3 JSON schema, offline: the schema is
# committed in tools/sbom-schema, and the validator (Ajv) is installed at the
# version its package-lock.json pins into build/sbom-schema
# (scripts/npm-tool.sh). scripts/release.sh runs it on the SBOM it writes.
#
#   scripts/check-sbom-schema.sh FILE.spdx.json
#
# Prints each finding and "schema: SPDX 2.3, valid" or the number of
# findings; exits 1 on any, 2 when FILE is no JSON or cannot be read.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

if [[ $# -ne 1 ]]; then
  echo "usage: scripts/check-sbom-schema.sh FILE.spdx.json" >&2
  exit 2
fi
file=$1
[[ "$file" == /* ]] || file=$OLDPWD/$file
modules=$(bash scripts/npm-tool.sh sbom-schema)
node tools/sbom-schema/validate.cjs "$modules" "$file"
