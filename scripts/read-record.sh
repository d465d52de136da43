# Sourced by the scripts that write one of the release's documents from the
# build's record (scripts/build-record.sh):
#
#   source scripts/read-record.sh WHO RECORD
#
# defines fail (a "WHO: ..." line on standard error, exit status 1) and
# fact KIND KEY (the value of the record's "KIND|KEY|value" line), and stops
# where RECORD is missing or empty.
# shellcheck shell=bash
who=$1 record=$2
export LC_ALL=C
fail() {
  echo "$who: $*" >&2
  exit 1
}
[[ -s "$record" ]] || fail "no build record at $record"
fact() { sed -n "s/^$1|$2|//p" "$record"; }
