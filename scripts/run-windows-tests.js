#!/usr/bin/env node
'use strict';
// Runs the Windows test programs that scripts/windows-test-list exported, on Windows itself:
//
//   node scripts/run-windows-tests.js DIR [--logs LOGDIR]
//
// Each native test of DIR/tests.json runs from DIR with its arguments (files relative to DIR),
// its environment on top of this one and its timeout (a test past it is ended and fails). Its
// output goes to LOGDIR/<name>.log (default DIR/logs). The tests left out are listed with their
// reasons. Ends with "windows tests: N passed, N failed" and exit code 1 when any failed.

const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');

function runOne(dir, test, logFile) {
  return new Promise((resolve) => {
    const env = { ...process.env };
    for (const assignment of test.env) {
      const at = assignment.indexOf('=');
      env[assignment.slice(0, at)] = assignment.slice(at + 1);
    }
    // An argument that names an exported file is given as its path here.
    const args = test.args.map((a) => (fs.existsSync(path.join(dir, a)) ? path.join(dir, a) : a));
    const log = fs.createWriteStream(logFile);
    const started = Date.now();
    const child = spawn(path.join(dir, test.program), args, { cwd: dir, env, stdio: ['ignore', 'pipe', 'pipe'], windowsHide: true });
    child.stdout.pipe(log, { end: false });
    child.stderr.pipe(log, { end: false });
    let timedOut = false;
    const timer = setTimeout(() => { timedOut = true; child.kill(); }, test.timeout * 1000);
    const finish = (verdict) => {
      clearTimeout(timer);
      log.end(`\n${verdict}\n`);
      resolve({ name: test.name, passed: verdict === 'passed', verdict, seconds: (Date.now() - started) / 1000 });
    };
    child.on('error', (e) => finish(`could not start: ${e.message}`));
    child.on('close', (code, signal) => {
      if (timedOut) finish(`timed out after ${test.timeout} s`);
      else finish(code === 0 ? 'passed' : `failed: exit code ${code}${signal ? `, signal ${signal}` : ''}`);
    });
  });
}

async function main(argv) {
  const dir = path.resolve(argv[0] || '');
  const logs = path.resolve(argv[1] === '--logs' && argv[2] ? argv[2] : path.join(dir, 'logs'));
  const list = JSON.parse(fs.readFileSync(path.join(dir, 'tests.json'), 'utf8'));
  fs.mkdirSync(logs, { recursive: true });
  console.log(`${list.preset}: ${list.left_out.length} tests left out:`);
  for (const t of list.left_out) console.log(`  ${t.name}: ${t.reason}`);
  const results = [];
  for (const test of list.native) {
    const result = await runOne(dir, test, path.join(logs, `${test.name}.log`));
    console.log(`${result.passed ? 'ok  ' : 'FAIL'} ${test.name} (${result.seconds.toFixed(1)} s)${result.passed ? '' : `: ${result.verdict}`}`);
    results.push(result);
  }
  const failed = results.filter((r) => !r.passed).length;
  console.log(`windows tests: ${results.length - failed} passed, ${failed} failed`);
  return failed === 0;
}

if (require.main === module) {
  main(process.argv.slice(2)).then((ok) => (process.exitCode = ok ? 0 : 1), (e) => {
    console.error(`run-windows-tests: ${e.message}`);
    process.exitCode = 1;
  });
}
