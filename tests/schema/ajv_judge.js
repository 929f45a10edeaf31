// The schema test's second validator, from another ecosystem: ajv judges
// the documents that python's jsonschema judged, in strict mode as far as
// its version has one.
//   node ajv_judge.js SCHEMA DOCUMENTS   (DOCUMENTS: a JSON array)
// Prints a JSON array of verdicts, true for valid.
'use strict';
const fs = require('fs');
const Ajv = require('ajv');

const [schemaPath, documentsPath] = process.argv.slice(2);
const ajv = new Ajv({ strictKeywords: true, strictDefaults: true, strictNumbers: true });
const validate = ajv.compile(JSON.parse(fs.readFileSync(schemaPath, 'utf8')));
const documents = JSON.parse(fs.readFileSync(documentsPath, 'utf8'));
process.stdout.write(JSON.stringify(documents.map((document) => validate(document))));
