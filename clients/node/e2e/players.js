'use strict';
// Players for the end-to-end runs: a process with a visible window that plays a WAV file and
// stands outside this process's tree (the host refuses a target inside the translator's tree,
// and a system capture leaves that tree out), and a plain player inside it.
//
// Linux: paplay, with the window program given (tamsel_test_window) as the listed process:
//   a shell that ends at once starts `sh -c 'paplay WAV & exec WINDOW'`, so the window process
//   has the player as its child and nobody here as its parent.
// Windows: windows-player.ps1 (a Windows Forms window that plays the file with
//   System.Media.SoundPlayer, to the default render device) started by a PowerShell that prints
//   the player's pid and ends.

const path = require('node:path');
const { spawn } = require('node:child_process');

const WINDOWS = process.platform === 'win32';
const POWERSHELL = ['-NoProfile', '-NonInteractive', '-ExecutionPolicy', 'Bypass'];
const PLAYER_SCRIPT = path.join(__dirname, 'windows-player.ps1');

// Polls `check` every 50 ms until it gives a truthy value, for at most `ms`.
async function until(what, check, ms = 10000) {
  for (const end = Date.now() + ms; Date.now() < end; await new Promise((r) => setTimeout(r, 50))) {
    const value = await check();
    if (value) return value;
  }
  throw new Error(`timed out waiting for ${what}`);
}

// The first line a program prints (its pid), and the program.
function firstLine(file, args, options) {
  const child = spawn(file, args, { stdio: ['ignore', 'pipe', 'inherit'], windowsHide: true, ...options });
  return new Promise((resolve, reject) => {
    let text = '';
    child.on('error', reject);
    child.stdout.on('data', (d) => {
      text += d;
      if (text.includes('\n')) resolve({ line: text.slice(0, text.indexOf('\n')).trim(), child });
    });
    child.on('close', (code) => reject(new Error(`${file} ended (${code}) without a line: ${text}`)));
  });
}

// Starts the outside player of `wav`; `window` names the window program on Linux. Resolves
// to { pid, end } once it runs: pid is the process that owns the window.
async function startOutsidePlayer(wav, { window } = {}) {
  if (WINDOWS) {
    const quoted = (s) => `'"${s.replace(/'/g, "''")}"'`; // Start-Process joins its arguments unquoted
    const command = `(Start-Process -PassThru -FilePath powershell.exe -ArgumentList @(${[...POWERSHELL, '-File']
      .map((a) => `'${a}'`).join(',')},${quoted(PLAYER_SCRIPT)},${quoted(wav)})).Id`;
    const { line } = await firstLine('powershell.exe', [...POWERSHELL, '-Command', command]);
    const pid = Number(line);
    if (!Number.isInteger(pid) || pid <= 0) throw new Error(`the player's pid: ${line}`);
    return { pid, end: () => { try { process.kill(pid); } catch {} } };
  }
  if (!window) throw new Error('a window program is needed for the player on Linux');
  const { line, child } = await firstLine('sh', ['-c', 'sh -c \'paplay "$0" & exec "$1"\' "$0" "$1" >/dev/null 2>&1 & echo $!', wav, window],
    { detached: true });
  return { pid: Number(line), end: () => { try { process.kill(-child.pid, 'SIGKILL'); } catch {} } };
}

// Starts a player of `wav` as this process's own child; returns { pid, end }.
function startInsidePlayer(wav) {
  const child = WINDOWS
    ? spawn('powershell.exe', [...POWERSHELL, '-File', PLAYER_SCRIPT, wav], { stdio: 'ignore' })
    : spawn('paplay', [wav], { stdio: 'ignore' });
  child.on('error', () => {}); // an end of its own is judged by what the capture holds
  return { pid: child.pid, end: () => child.kill() };
}

module.exports = { startInsidePlayer, startOutsidePlayer, until };
