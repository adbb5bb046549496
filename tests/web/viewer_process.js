// Helpers shared by the browser test and the screenshot script: a viewer program in its own
// process group, headless Chromium (the system's /usr/bin/chromium), and polling for a state.
'use strict';

const { spawn } = require('child_process');
const { chromium } = require('playwright-core');

// Resolves with fn's first truthy value, or its last value once ms have passed.
async function until(fn, ms, step = 100) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v || Date.now() > end) return v;
    await new Promise(r => setTimeout(r, step));
  }
}

// Starts a viewer (the program and its arguments) in its own process group; url resolves with
// the address it serves.
function startViewer(scratch, program, argv) {
  const child = spawn(program, argv, { cwd: scratch, detached: true, stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  child.stderr.on('data', d => process.stderr.write(d));
  const url = new Promise((resolve, reject) => {
    child.stdout.on('data', d => {
      out += d;
      const m = /serving (http:\/\/\S+)/.exec(out);
      if (m) resolve(m[1]);
    });
    child.on('exit', code => reject(new Error(`lumox view ended (${code}) before serving: ${out}`)));
    setTimeout(() => reject(new Error('lumox view did not start serving within 30 s')), 30000);
  });
  return { child, url };
}

// Ends a viewer as Ctrl-C does; resolves with its exit code (or the signal that ended it).
function stopViewer(child) {
  return new Promise(resolve => {
    if (child.exitCode !== null) return resolve(child.exitCode);
    const timer = setTimeout(() => { process.kill(-child.pid, 'SIGKILL'); }, 10000);
    child.on('exit', (code, signal) => { clearTimeout(timer); resolve(signal ? signal : code); });
    process.kill(-child.pid, 'SIGINT');
  });
}

// Headless Chromium with a fresh profile directory and the viewport the pages are laid out for.
function launchBrowser(profile) {
  return chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 1700, height: 1150 },
    acceptDownloads: true,
  });
}

module.exports = { until, startViewer, stopViewer, launchBrowser };
