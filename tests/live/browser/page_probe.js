// The probe both browser drivers run in the page (watch_probe.mjs for
// Chromium, firefox_probe.py for Firefox): one expression whose value is a
// JSON text of what the picture shows now: the wall clock in ms, the mode the
// page chose, the video's time, size, pause and buffer ahead, and the frame
// code of the picture shown (the 12 black and white blocks of 16 x 16 pixels
// along the top of the test pictures, lowest bit first, read from a canvas
// copy).
(() => {
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
})()
