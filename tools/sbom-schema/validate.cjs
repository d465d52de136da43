// Validates an SPDX document in JSON against the SPDX 2.3 JSON schema, offline,
// with Ajv (JSON Schema draft-07, as the schema declares).
//
//   node validate.cjs MODULES_DIR FILE
//
// MODULES_DIR is the node_modules folder that `npm ci` filled from this
// folder's package-lock.json (scripts/npm-tool.sh). Prints each finding as
// FILE: PLACE: MESSAGE, then "schema: SPDX 2.3, valid" or the number of
// findings; exits 1 when there is any, 2 when the file cannot be read, is no
// JSON, or the schema beside this script is not the one below.
//
// spdx-schema.json is schemas/spdx-schema.json of the spdx/spdx-spec
// repository at its tag v2.3 (commit aadf3b0b8dbbabdb4d880b0fc714255fea436ff7,
// SHA-256 239208b7ac287b3cf5d9a9af23f9d69863971102a5e1587a27a398b43490b89b)
// with its "description" texts left out and laid out again by
// JSON.stringify(schema, null, 2): descriptions are notes for readers, which
// no validator reads, so every rule is as the tag has it.
"use strict";

const crypto = require("node:crypto");
const fs = require("node:fs");
const path = require("node:path");

const SCHEMA = path.join(__dirname, "spdx-schema.json");
const SCHEMA_SHA256 = "d14837bb1aa083f5e0bf34a7f884bfd7499a823627cbce393c4e949bd20c9cc3";

// One line for one of Ajv's errors: what it found wrong and, where Ajv keeps it
// in its parameters, the name or value at fault.
function describe(error, document) {
  const place = error.instancePath || "(document)";
  const { params } = error;
  let detail = "";
  if (error.keyword === "additionalProperties") detail = `: "${params.additionalProperty}"`;
  else if (error.keyword === "enum") {
    const value = error.instancePath
      .split("/")
      .slice(1)
      .reduce((node, key) => node[key.replace(/~1/g, "/").replace(/~0/g, "~")], document);
    detail = `, not ${JSON.stringify(value)}`;
  }
  return `${place}: ${error.message}${detail}`;
}

function main() {
  const [modules, file, ...rest] = process.argv.slice(2);
  if (!modules || !file || rest.length > 0) {
    console.error("usage: node validate.cjs MODULES_DIR FILE");
    return 2;
  }
  const schemaText = fs.readFileSync(SCHEMA);
  const schemaSha256 = crypto.createHash("sha256").update(schemaText).digest("hex");
  if (schemaSha256 !== SCHEMA_SHA256) {
    console.error(`schema: ${SCHEMA} has the SHA-256 ${schemaSha256}, not that of the SPDX 2.3 schema kept here`);
    return 2;
  }

  let document;
  try {
    document = JSON.parse(fs.readFileSync(file, "utf8"));
  } catch (error) {
    console.error(`${file}: ${error.code ? "cannot be read" : "not JSON"}: ${error.message}`);
    return 2;
  }

  const Ajv = require(path.join(path.resolve(modules), "ajv")).default;
  const ajv = new Ajv({ allErrors: true, strict: true });
  const validate = ajv.compile(JSON.parse(schemaText));
  if (validate(document)) {
    console.log("schema: SPDX 2.3, valid");
    return 0;
  }
  for (const error of validate.errors) console.log(`${file}: ${describe(error, document)}`);
  const count = validate.errors.length;
  console.log(`schema: SPDX 2.3, ${count} finding${count === 1 ? "" : "s"}`);
  return 1;
}

try {
  process.exit(main());
} catch (error) {
  console.error(`schema: the check could not run: ${error.stack || error}`);
  process.exit(2);
}
