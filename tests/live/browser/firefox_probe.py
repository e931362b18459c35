#!/usr/bin/env python3
"""Opens a page in headless Firefox (firefox-esr) through its Marionette
remote protocol and reports what its picture does, as watch_probe.mjs does
for Chromium:

    firefox_probe.py URL WIDTHxHEIGHT SAMPLES INTERVAL_MS [SHOT_PREFIX]

Every INTERVAL_MS (SAMPLES times) one line "sample {json}" with the mode the
page chose, the video's time, size and buffer, and the frame code of the
picture shown; with SHOT_PREFIX a PNG screenshot per sample. Exits with 2
when Firefox does not answer within a minute.

Marionette frames each message as "LENGTH:JSON"; a command is
[0, id, name, params] and its answer [1, id, error, result].
"""
import base64
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

# What the picture shows now, measured in the page (the expression Chromium's
# driver evaluates too); Marionette runs a function body, hence the return.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), 'page_probe.js')) as _f:
    PROBE = 'return (\n' + _f.read() + '\n);'


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def main():
    url, size, samples, interval = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    shots = sys.argv[5] if len(sys.argv) > 5 else None
    width, height = (int(x) for x in size.split('x'))
    profile = tempfile.mkdtemp(prefix='lumora-firefox-')
    port = free_port()
    prefs = {
        'marionette.port': port,
        'media.autoplay.default': 0,  # muted or not, the page may play
        'browser.shell.checkDefaultBrowser': False,
        'datareporting.policy.dataSubmissionEnabled': False,
        'app.update.enabled': False,
        'network.captive-portal-service.enabled': False,
        'browser.startup.homepage_override.mstone': 'ignore',
    }
    with open(os.path.join(profile, 'user.js'), 'w') as f:
        for key, value in prefs.items():
            f.write('user_pref(%s, %s);\n' % (json.dumps(key), json.dumps(value)))
    firefox = subprocess.Popen(['firefox-esr', '--headless', '--marionette', '--no-remote', '--profile', profile,
                                '--width', str(width), '--height', str(height), 'about:blank'],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        sock = None
        while sock is None:
            try:
                sock = socket.create_connection(('127.0.0.1', port), timeout=5)
            except OSError:
                if time.monotonic() > deadline or firefox.poll() is not None:
                    print('error no answer from firefox')
                    return 2
                time.sleep(0.2)
        sock.settimeout(60)
        stream = sock.makefile('rb')

        def receive():
            length = b''
            while not length.endswith(b':'):
                byte = stream.read(1)
                if not byte:
                    raise EOFError('firefox closed the connection')
                length += byte
            return json.loads(stream.read(int(length[:-1])))

        counter = [0]

        def call(name, params):
            counter[0] += 1
            data = json.dumps([0, counter[0], name, params]).encode()
            sock.sendall(str(len(data)).encode() + b':' + data)
            while True:
                answer = receive()
                if answer[0] == 1 and answer[1] == counter[0]:
                    if answer[2]:
                        raise RuntimeError('%s: %s' % (name, answer[2]))
                    return answer[3]

        receive()  # the server's greeting
        call('WebDriver:NewSession', {'capabilities': {'alwaysMatch': {'pageLoadStrategy': 'none'}}})
        call('WebDriver:SetWindowRect', {'width': width, 'height': height})
        call('WebDriver:Navigate', {'url': url})
        for i in range(samples):
            time.sleep(interval / 1000)
            print('sample ' + call('WebDriver:ExecuteScript', {'script': PROBE, 'args': []})['value'], flush=True)
            if shots:
                shot = call('WebDriver:TakeScreenshot', {'full': False})['value']
                with open('%s%d.png' % (shots, i), 'wb') as f:
                    f.write(base64.b64decode(shot))
        return 0
    except (OSError, EOFError, RuntimeError) as e:
        print('error ' + str(e))
        return 2
    finally:
        try:
            os.killpg(firefox.pid, 9)
        except OSError:
            pass
        firefox.wait()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
