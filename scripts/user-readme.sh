#!/usr/bin/env bash
# Writes README.txt for the release's users to standard output: the text of
# docs/README-user.txt, then the Troubleshooting section of README.md turned
# into plain text: ASCII (an ellipsis becomes three periods), so that `type`
# and every Notepad show it alike, with Windows line ends. Any other character
# beyond ASCII stops the script.
#
#   scripts/user-readme.sh VERSION
#
# README.md stays the one place where a status and its remedy are written.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export LC_ALL=C

version=${1:?usage: user-readme.sh VERSION}
text=$(mktemp)
trap 'rm -f "$text"' EXIT

section=$(sed -n '/^## Troubleshooting$/,/^## /{/^## /d;p}' README.md)
if ! grep -q '^| `' <<<"$section"; then
  echo "user-readme: no Troubleshooting table in README.md" >&2
  exit 1
fi

{
  sed "s/@VERSION@/$version/g" docs/README-user.txt
  # Paragraphs are filled to 78 columns; each table row becomes its status,
  # what it means and what to do, indented below it.
  awk '
    function fill(text, indent, first,    words, count, i, line) {
      count = split(text, words, / +/)
      line = first
      for (i = 1; i <= count; i++) {
        if (words[i] == "") continue
        if (line != first && length(line) + 1 + length(words[i]) > 78) {
          print line
          line = indent
        }
        line = (line == first || line == indent) ? line words[i] : line " " words[i]
      }
      if (line != first && line != indent) print line
    }
    # A span in backquotes (a command, a path) is never split across lines.
    {
      text = $0
      $0 = ""
      while (match(text, /`[^`]*`/)) {
        span = substr(text, RSTART + 1, RLENGTH - 2)
        gsub(/ /, "\001", span)
        $0 = $0 substr(text, 1, RSTART - 1) span
        text = substr(text, RSTART + RLENGTH)
      }
      $0 = $0 text
    }
    /^\| *Status *\|/ || /^\|[-| ]+\|$/ || /^<!--.*-->$/ { next }
    /^\|/ {
      count = split($0, cells, / *\| */)
      print "  " cells[2]
      fill(cells[3], "      ", "      ")
      fill("What to do: " cells[4], "      ", "      ")
      print ""
      next
    }
    /^$/ { if (paragraph != "") { fill(paragraph, "", ""); print "" } paragraph = ""; next }
    { paragraph = paragraph " " $0 }
    END { if (paragraph != "") fill(paragraph, "", "") }
  ' <<<"$section"
} | sed 's/\x01/ /g; s/\xe2\x80\xa6/.../g; s/$/\r/' >"$text"
if line=$(grep -n -m1 -P '[^\x00-\x7f]' "$text"); then
  echo "user-readme: a character beyond ASCII in line ${line%%:*}: ${line#*:}" >&2
  exit 1
fi
cat "$text"
