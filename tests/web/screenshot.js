// Takes the viewer's picture for the README: `lumox view` on a virtual camera (the room scene by
// default), the page in headless Chromium, once the statistics have settled.
//
// node screenshot.js --vcam PATH --lumox PATH --out FILE [--seconds N] [-- VCAM_OPTIONS...]
//   (NODE_PATH at the node_modules that hold playwright-core, as the browser test's ctest entry
//   installs them into build/tests/web/npm)
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const { until, startViewer, stopViewer, launchBrowser } = require('./viewer_process');

const args = process.argv.slice(2);
const opt = name => { const i = args.indexOf(name); return i >= 0 ? args[i + 1] : undefined; };
const vcamArgs = args.includes('--') ? args.slice(args.indexOf('--') + 1) : [];

async function main() {
  if (!opt('--vcam') || !opt('--lumox') || !opt('--out')) {
    console.error('usage: node screenshot.js --vcam PATH --lumox PATH --out FILE [--seconds N] [-- VCAM_OPTIONS...]');
    return 2;
  }
  const out = path.resolve(opt('--out'));
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'lumox-view-shot-'));
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'lumox-view-chromium-'));
  const viewer = startViewer(scratch, opt('--vcam'), [...vcamArgs, '--', opt('--lumox'),
    'view', '--port', '0', '--calib', path.join(scratch, 'calib')]);
  let context;
  let status = 1;
  try {
    const url = await viewer.url;
    context = await launchBrowser(profile);
    const page = context.pages()[0] || await context.newPage();
    await page.goto(url);
    const view = expr => page.evaluate(expr);
    if (!await until(() => view('window.lumoxView.state.shown >= 10'), 30000))
      throw new Error('the page shows no frames');
    // The colour scale over this scene's distances, and the point cloud seen from above and to
    // the side of the camera.
    await page.click('#range-auto');
    await view('Object.assign(window.lumoxView.cloud, { yaw: 0.6, pitch: 0.3, zoom: 1.2 }).draw()');
    // Long enough for the measured rate and latency to describe a steady stream.
    await page.waitForTimeout(Number(opt('--seconds') || 5) * 1000);
    await page.screenshot({ path: out, fullPage: true });
    console.log(`screenshot in ${out}`);
    status = 0;
  } catch (e) {
    console.error(e.stack || String(e));
  } finally {
    if (context) await context.close();
    await stopViewer(viewer.child);
    fs.rmSync(profile, { recursive: true, force: true });
    fs.rmSync(scratch, { recursive: true, force: true });
  }
  return status;
}

main().then(code => process.exit(code));
