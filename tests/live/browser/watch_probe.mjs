// Opens a page in headless Chromium over the DevTools pipe and reports, as
// "key value" lines, what its picture does:
//
//   node watch_probe.mjs URL WIDTHxHEIGHT SAMPLES INTERVAL_MS [SHOT_PREFIX]
//
// Every INTERVAL_MS (SAMPLES times) one line "sample {json}": the mode the
// page chose, the video's current time, size and buffer, and the frame code
// of the picture shown (the 12 black and white blocks of 16 x 16 pixels along
// the top of the test pictures, lowest bit first, read from a canvas copy), with the wall
// clock in ms. With SHOT_PREFIX, a PNG screenshot per sample.
// With PROBE_WITHOUT_MSE=1 in the environment the page sees no Media Source
// Extensions, as on a phone's Safari.
// Exits with 2 when Chromium does not answer within a minute.

import {spawn} from 'node:child_process';
import {mkdtempSync, rmSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';

const [url, size, samplesArg, intervalArg, shots] = process.argv.slice(2);
const [width, height] = size.split('x').map(Number);
const samples = Number(samplesArg), interval = Number(intervalArg);
const profile = mkdtempSync(join(tmpdir(), 'lumora-probe-'));
const chrome = spawn('chromium', ['--headless', '--no-sandbox', '--disable-gpu', '--remote-debugging-pipe',
    '--user-data-dir=' + profile, '--window-size=' + width + ',' + height, '--autoplay-policy=no-user-gesture-required',
    '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--disable-quic', 'about:blank'], {stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe']});
const quit = code => {
    chrome.kill('SIGKILL');
    try { rmSync(profile, {recursive: true, force: true}); } catch (e) { /* best effort */ }
    process.exit(code);
};
const watchdog = setTimeout(() => { console.log('error no answer from chromium'); quit(2); }, 60000 + samples * interval);

let next = 0, pending = new Map(), buffer = Buffer.alloc(0);
chrome.stdio[4].on('data', data => {
    buffer = Buffer.concat([buffer, data]);
    for (let end; (end = buffer.indexOf(0)) >= 0; buffer = buffer.subarray(end + 1)) {
        const message = JSON.parse(buffer.subarray(0, end).toString());
        if (message.id && pending.has(message.id)) {
            pending.get(message.id)(message);
            pending.delete(message.id);
        }
    }
});
const call = (method, params = {}, sessionId) => new Promise(resolve => {
    const id = ++next;
    pending.set(id, resolve);
    chrome.stdio[3].write(JSON.stringify({id, method, params, sessionId}) + '\0');
});

// Runs in the page: what the picture shows now.
const probe = `(() => {
  const v = document.querySelector('video'), img = document.querySelector('img');
  const out = {now: Math.round(performance.timeOrigin + performance.now()), mode: document.body.dataset.mode || 'none'};
  const shown = v && !v.hidden ? v : img;
  if (v) {
    out.time = v.currentTime; out.width = v.videoWidth; out.height = v.videoHeight; out.paused = v.paused;
    out.ahead = v.buffered.length ? v.buffered.end(v.buffered.length - 1) - v.currentTime : -1;
  }
  try {
    const w = shown.videoWidth || shown.naturalWidth, h = shown.videoHeight || shown.naturalHeight;
    if (w >= 192 && h >= 16) {
      const c = document.createElement('canvas'); c.width = w; c.height = h;
      const g = c.getContext('2d'); g.drawImage(shown, 0, 0, w, h);
      const d = g.getImageData(0, 0, w, 16).data;
      let code = 0;
      for (let i = 0; i < 12; ++i) {
        const p = (8 * w + i * 16 + 8) * 4;
        code |= ((d[p] + d[p + 1] + d[p + 2]) / 3 > 128 ? 1 : 0) << i;
      }
      out.code = code;
    }
  } catch (e) { out.codeError = String(e); }
  return JSON.stringify(out);
})()`;

const target = await call('Target.createTarget', {url: 'about:blank'});
const session = (await call('Target.attachToTarget', {targetId: target.result.targetId, flatten: true})).result.sessionId;
await call('Emulation.setDeviceMetricsOverride', {width, height, deviceScaleFactor: 1, mobile: width < 500}, session);
await call('Page.enable', {}, session);
if (process.env.PROBE_WITHOUT_MSE === '1')
    await call('Page.addScriptToEvaluateOnNewDocument',
        {source: 'delete window.MediaSource; delete window.ManagedMediaSource; delete window.WebKitMediaSource;'}, session);
await call('Page.navigate', {url}, session);
for (let i = 0; i < samples; ++i) {
    await new Promise(resolve => setTimeout(resolve, interval));
    const answer = await call('Runtime.evaluate', {expression: probe, returnByValue: true}, session);
    console.log('sample ' + (answer.result?.result?.value ?? JSON.stringify(answer)));
    if (shots) {
        const shot = await call('Page.captureScreenshot', {format: 'png'}, session);
        writeFileSync(shots + i + '.png', Buffer.from(shot.result.data, 'base64'));
    }
}
clearTimeout(watchdog);
quit(0);
