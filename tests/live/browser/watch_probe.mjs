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
import {mkdtempSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';

const [url, size, samplesArg, intervalArg, shots] = process.argv.slice(2);
const [width, height] = size.split('x').map(Number);
const samples = Number(samplesArg), interval = Number(intervalArg);
// Runs in the page: what the picture shows now.
const probe = readFileSync(new URL('./page_probe.js', import.meta.url), 'utf8');
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
