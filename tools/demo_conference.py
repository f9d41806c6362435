#!/usr/bin/python3
"""A short scripted conference for a machine without a display.

Starts confserver and two confclient windows under Wine on a virtual X
display and the native confweb in front of the server, lets two people join
through the windows and a third through a browser (headless Chromium) and
talk in Japanese the way they would at the screen (typing the port, filling
in the fields, pressing the buttons), and leaves in the output folder:

    screen.png            the whole display during the conversation
    server.png            the server panel
    client-1.png          the first client window
    client-2.png          the second client window
    browser.png           the browser's page
    conversation.txt      what each window's and the page's log showed, as
                          UTF-8 text
    logs/                 the programs' own output

Then everyone leaves (the browser user first, by the page's 終了; the
others through the programs' own questions) and the gateway, the display
and Wine are shut down again.

Usage: demo_conference.py --build WIN64_BUILD_DIR --confweb NATIVE_CONFWEB --prefix WINE_PREFIX --out FOLDER

Debian's Python only: the browser is driven through Debian's selenium.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import conf_gui  # noqa: E402
from conf_browser import BrowserUser, gateway_url  # noqa: E402
from conf_windows import ClientWindow, ProgramTexts, ServerPanel  # noqa: E402

# The panel at the top left and the two windows beside it.
SCREEN = "1400x540x24"
PLACES = [(200, 40), (800, 40)]

# (who speaks, what they say); the first line of each person logs them in.
# 0 and 1 use the windows, 2 the browser.
SCRIPT = [
    (0, "おはようございます。定例会議を始めます"),
    (1, "よろしくお願いします"),
    (2, "田中です。今日はスマホのブラウザから参加しています"),
    (0, "今日の議題は新しい会議システムです"),
    (1, "日本語も問題なく表示されていますね\r\n半角ｶﾀｶﾅもＯＫ～"),
    (2, "ブラウザでも同じように見えています～\r\nインストールなしで使えて便利です"),
    (0, "では、これで終わります。お疲れさまでした"),
]
PEOPLE = [("佐藤", "127.0.0.1"), ("鈴木", "localhost")]
BROWSER_USER = "田中"


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the Windows x86_64 build folder")
    parser.add_argument("--confweb", required=True, help="the native confweb program")
    parser.add_argument("--prefix", required=True, help="the Wine prefix to run in (made on first use)")
    parser.add_argument("--out", required=True, help="folder for the screenshots and the conversation")
    return parser.parse_args()


def play(session, build, confweb, out):
    texts = ProgramTexts(ROOT)
    panel = ServerPanel.launch(session, os.path.join(build, "server", "confserver.exe"), texts)
    port = panel.start()
    print(f"demo: confserver runs on UDP port {port}")
    gateway = session.launch_native(confweb, "--relay", f"127.0.0.1:{port}", "--listen", "127.0.0.1:0")
    url = gateway_url(gateway)
    print(f"demo: confweb lets browsers in at {url}")

    clients = []
    for (name, server), place in zip(PEOPLE, PLACES):
        client = ClientWindow.launch(session, os.path.join(build, "client", "confclient.exe"), texts)
        client.drag_to(*place)
        client.join(name, server, port)
        print(f"demo: {name} joined through {server}")
        clients.append(client)
    # As on a phone: the page 360 CSS pixels wide.
    browser = BrowserUser.open(url, phone=True)
    try:
        browser.join(BROWSER_USER)
        print(f"demo: {BROWSER_USER} joined from a browser")
        converse(session, panel, clients, browser, texts, port, out)
    finally:
        browser.quit()
    gateway.interrupt()
    if gateway.wait_exit(timeout=30) != 0:
        raise conf_gui.HarnessError("confweb ended with an error")


def converse(session, panel, clients, browser, texts, port, out):
    names = [name for name, _ in PEOPLE] + [BROWSER_USER]
    users = clients + [browser]
    logs = [[] for _ in users]
    logged_in = set()
    for speaker, text in SCRIPT:
        name = names[speaker]
        users[speaker].say(text)
        if speaker in logged_in:
            seen = {listener: [f"{name}: {text}"] for listener in logged_in}
        else:
            arrival = [texts.entry(name), f"{name} :{text}"]
            seen = {listener: arrival for listener in logged_in}
            seen[speaker] = [texts.login_accepted] + arrival
            logged_in.add(speaker)
        for listener, lines in seen.items():
            logs[listener] += "\r\n".join(lines).split("\r\n")
            users[listener].wait_log(logs[listener])
        print(f"demo: {name}: {text.splitlines()[0]}")
    panel.wait_count(len(users))

    session.screenshot("screen")
    session.screenshot("server", area=panel.rect())
    for number, client in enumerate(clients, 1):
        session.screenshot(f"client-{number}", area=client.rect())
    browser.screenshot(os.path.join(out, "browser.png"))

    # The browser user leaves first, then the second window's user; those
    # still there see each leave.
    conversation = {}
    for leaving in (2, 1):
        conversation[leaving] = users[leaving].log_lines()
        if leaving == 2:
            browser.leave()
        elif clients[leaving].exit() != 0:
            raise conf_gui.HarnessError("confclient ended with an error")
        for listener in range(leaving):
            logs[listener].append(texts.exit_notice(names[leaving]))
            users[listener].wait_log(logs[listener])
        panel.wait_count(leaving)
    conversation[0] = clients[0].log_lines()
    if clients[0].exit() != 0 or panel.stop() != 0:
        raise conf_gui.HarnessError("a program ended with an error")

    with open(os.path.join(out, "conversation.txt"), "w", encoding="utf-8") as text_file:
        text_file.write(f"Conference on UDP port {port}: what each window's and the browser page's log showed.\n")
        for number, name in enumerate(names):
            where = "browser" if users[number] is browser else "window"
            text_file.write(f"\n== {name} ({where}) ==\n")
            text_file.writelines(line + "\n" for line in conversation[number])


def main():
    arguments = parse_arguments()
    out = os.path.abspath(arguments.out)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    build = os.path.abspath(arguments.build)
    options = conf_gui.parse_options([
        "--driver", os.path.join(build, "tests", "e2e", "conf_gui_driver.exe"),
        "--prefix", arguments.prefix,
        "--artefacts", out,
        "--source-root", ROOT,
        "--program", os.path.join(build, "client", "confclient.exe"),
    ])
    # A plain kill still takes the display and Wine down (see finally).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    print("demo: starting a virtual display and Wine (the first run makes the Wine prefix, about a minute)")
    session = conf_gui.GuiSession.start(options, "demo", screen=SCREEN)
    try:
        play(session, build, os.path.abspath(arguments.confweb), out)
    except (AssertionError, conf_gui.HarnessError) as error:
        try:
            session.screenshot("failure")
        except (OSError, subprocess.SubprocessError):
            pass
        print(f"demo: failed: {error}", file=sys.stderr)
        print(f"demo: what there is to see is in {out}", file=sys.stderr)
        return 1
    finally:
        session.close()
    print(f"demo: screenshots and the conversation are in {out}:")
    for name in sorted(os.listdir(out)):
        if os.path.isfile(os.path.join(out, name)):
            print(f"  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
