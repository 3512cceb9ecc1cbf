#!/usr/bin/python3
"""kvrd's web console in a real browser: headless chromium driven by selenium.

Two test cameras record into 2 s segments; one is killed for a few seconds and
comes back. Then the console must load, list both cameras, draw the killed
one's gap on its timeline, and play recorded footage from a click on a
timeline: the video's currentTime passes 2 s and its size is the camera's. A
screenshot of the console is saved as OUT/console.png.

Exit status: 0 passed, 1 failed, 77 skipped (chromium cannot start here).

usage: console_browser_test.py --kvrd PATH --camera PATH --routing PATH --out DIR
"""
import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77
WIDTH, HEIGHT = 320, 240


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, check, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.2)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}")


class Camera:
    def __init__(self, script, port):
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", script, "--port", str(port),
             "--width", str(WIDTH), "--height", str(HEIGHT)],
            stdout=subprocess.PIPE, text=True)
        self.url = self.proc.stdout.readline().strip()
        if not self.url:
            raise AssertionError("the test camera printed no URL")

    def kill(self):
        self.proc.kill()
        self.proc.wait()


def start_browser():
    """A headless chromium, or (None, why) when it cannot start here."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as e:
        return None, f"python3-selenium is missing ({e})"
    driver_path = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    if not os.path.exists(driver_path):
        return None, "chromedriver is missing (Debian package chromium-driver)"
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--autoplay-policy=no-user-gesture-required", "--window-size=1280,1000"):
        options.add_argument(arg)
    try:
        return webdriver.Chrome(service=Service(driver_path), options=options), ""
    except Exception as e:  # noqa: BLE001 - any failure to start is a reason to skip
        return None, f"chromium did not start: {str(e).splitlines()[0]}"


def get_json(api, path):
    with urllib.request.urlopen(f"http://127.0.0.1:{api}{path}", timeout=10) as reply:
        return json.load(reply)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kvrd", required=True)
    parser.add_argument("--camera", required=True)
    parser.add_argument("--routing", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    args.kvrd, args.camera, args.routing, args.out = (
        os.path.abspath(p) for p in (args.kvrd, args.camera, args.routing, args.out))

    browser, why = start_browser()
    if browser is None:
        print(f"SKIPPED: {why}")
        return SKIP

    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="console-", dir=args.out)
    cameras, daemon = [], None
    try:
        lobby = Camera(args.camera, 0)
        door_port = free_port()
        door = Camera(args.camera, door_port)
        cameras += [lobby, door]
        api = free_port()
        os.makedirs(os.path.join(work, "volume"))
        with open(os.path.join(work, "kvrd.conf"), "w") as conf:
            conf.write(f"port = {free_port()}\napi = {api}\nrouting = {args.routing}\n"
                       f"volume = v0 {work}/volume\nstate = {work}/state\n"
                       f"camera = lobby {lobby.url} segment=2s\n"
                       f"camera = door {door.url} segment=2s\n")
        log = open(os.path.join(work, "kvrd.log"), "w")
        daemon = subprocess.Popen([args.kvrd, "-f", "-c", os.path.join(work, "kvrd.conf")],
                                  stderr=log, cwd=os.path.dirname(args.routing))
        wait_for("kvrd's API", lambda: _answers(api), 20)

        def closed(name):
            return [r for r in get_json(api, f"/cameras/{name}/recordings")["recordings"]
                    if not r["open"]]

        wait_for("two closed segments of each camera",
                 lambda: len(closed("lobby")) >= 2 and len(closed("door")) >= 2, 40)
        door.kill()
        cameras.remove(door)
        time.sleep(5)
        cameras.append(Camera(args.camera, door_port))
        wait_for("the door camera's gap",
                 lambda: get_json(api, "/cameras/door/recordings")["gaps"], 40)

        browser.get(f"http://127.0.0.1:{api}/")
        browser.find_element("css selector", "#window option[value='120']").click()
        names = wait_for("both cameras listed", lambda: _camera_rows(browser) == ["door", "lobby"]
                         and _camera_rows(browser), 20)
        print(f"console lists {names}")
        wait_for("a gap on the door camera's timeline", lambda: browser.find_elements(
            "css selector", "tr.camera[data-name='door'] .timeline .gap"), 20)

        # Click lobby's timeline a second into its footage, once it is drawn
        # for the 2-minute window (a refresh for the old window may be late).
        first = closed("lobby")[0]["start_ms"] + 1000
        bar = browser.find_element("css selector", "tr.camera[data-name='lobby'] .timeline")
        wait_for("the 2-minute timeline", lambda: float(bar.get_attribute("data-to")) - float(
            bar.get_attribute("data-from")) == 120000, 20)
        t0, t1 = float(bar.get_attribute("data-from")), float(bar.get_attribute("data-to"))
        width = bar.size["width"]
        x = (first - t0) / (t1 - t0) * width
        from selenium.webdriver.common.action_chains import ActionChains
        ActionChains(browser).move_to_element_with_offset(bar, int(x - width / 2) + 1, 0) \
            .click().perform()
        src = browser.execute_script("return document.getElementById('player').src")
        asked = int(src.split("from=")[1]) * 1000
        if not first - 10000 <= asked <= first + 10000:
            raise AssertionError(f"the click asked for {asked}, the footage starts at {first - 1000}")
        played = wait_for("the video to play past 2 s", lambda: browser.execute_script(
            "const v = document.getElementById('player');"
            "return v.currentTime > 2 ? [v.currentTime, v.videoWidth, v.videoHeight] : null;"),
            40)
        src = browser.execute_script("return document.getElementById('player').src")
        print(f"video at {played[0]:.2f} s, {played[1]}x{played[2]}, src {src}")
        if played[1:] != [WIDTH, HEIGHT]:
            raise AssertionError(f"video is {played[1]}x{played[2]}, the camera {WIDTH}x{HEIGHT}")
        shot = os.path.join(args.out, "console.png")
        browser.save_screenshot(shot)
        print(f"screenshot: {shot}")
        print("1 passed, 0 failed")
        return 0
    except AssertionError as e:
        print(f"FAILED: {e}")
        try:
            browser.save_screenshot(os.path.join(args.out, "console-failed.png"))
            for entry in browser.get_log("browser"):
                print("browser:", entry)
        except Exception:  # noqa: BLE001 - the failure above is what matters
            pass
        with open(os.path.join(work, "kvrd.log"), errors="replace") as f:
            print(f.read()[-4000:])
        return 1
    finally:
        browser.quit()
        if daemon is not None:
            daemon.send_signal(signal.SIGTERM)
            try:
                daemon.wait(20)
            except subprocess.TimeoutExpired:
                daemon.kill()
        for camera in cameras:
            camera.kill()
        shutil.rmtree(work, ignore_errors=True)


def _answers(api):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{api}/healthz", timeout=2):
            return True
    except OSError:
        return False


def _camera_rows(browser):
    return browser.execute_script(
        "return [...document.querySelectorAll('tr.camera')].map(r => r.dataset.name).sort();")


if __name__ == "__main__":
    sys.exit(main())
