#!/usr/bin/env python3
"""The 64-bit installer under Wine, in a fresh prefix: a silent install with
both services, what they serve, a clean stop, the uninstall, and a major
upgrade.

  msi_install_test.py --msi PACKAGE.msi --version X.Y.Z --build-msi build-msi.sh
                      --bin STRIPPED_PROGRAMS --icon ICON --wine-tools tools/wine --work DIR
"""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

PRODUCT = "Tavilo会議システム"
LOGIN_ACCEPTED = "ログインしました".encode("cp932")
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"

args = None


class Prefix:
    """A Wine prefix of its own, kept alive by one ordinary process: Wine ends
    services.exe, and every service, when the last one exits."""

    def __init__(self, folder):
        self.folder = folder
        self.env_script = os.path.join(args.wine_tools, "env.sh")
        shutil.rmtree(folder, ignore_errors=True)
        subprocess.run([os.path.join(args.wine_tools, "prefix.sh"), folder], check=True, timeout=180,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        # Wine's helpers inherit the streams of whoever starts them first:
        # never the pipes of this test.
        self.run("wineserver", "-p60")
        self.keeper = subprocess.Popen(self.command("wine64", "cmd"), stdin=subprocess.PIPE,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.drive_c = os.path.join(folder, "drive_c")

    def command(self, *words):
        return ["bash", "-c", '. "$0" "$1"; shift; exec "$@"', self.env_script, self.folder, *words]

    def run(self, *words, timeout=120):
        """Runs a command in the prefix; its exit status and output (code page 932)."""
        with tempfile.TemporaryFile() as output:
            result = subprocess.run(self.command(*words), stdin=subprocess.DEVNULL, stdout=output,
                                    stderr=subprocess.DEVNULL, timeout=timeout)
            output.seek(0)
            return result.returncode, output.read().decode("cp932", errors="replace")

    @staticmethod
    def windows_path(path):
        # A new prefix maps drive Z: to the root of the Unix file system.
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def msiexec(self, action, msi, *properties):
        self.msiexec_runs = getattr(self, "msiexec_runs", 0) + 1
        log = f"msiexec-{self.msiexec_runs}.log"
        status, _ = self.run("wine64", "msiexec", action, self.windows_path(msi), "/qn", *properties,
                             "/l*v", "C:\\" + log, timeout=300)
        if status != 0:
            # What failed is near the end of the installer's own log.
            text = open(os.path.join(self.drive_c, log), "rb").read().decode("cp932", errors="replace")
            print(f"msiexec {action} failed ({status}); the end of its log:", *text.splitlines()[-60:],
                  sep="\n", file=sys.stderr)
        return status

    def service_state(self, name):
        status, text = self.run("wine64", "sc", "query", name)
        state = re.search(r"STATE\s+:\s+\d+\s+(\w+)", text)
        exit_code = re.search(r"WIN32_EXIT_CODE\s+:\s+(\d+)", text)
        return status, state.group(1) if state else None, int(exit_code.group(1)) if exit_code else None

    def uninstall_entries(self):
        """DisplayName, Publisher, DisplayVersion, DisplayIcon of each entry of ours."""
        _, text = self.run("wine64", "reg", "query", UNINSTALL_KEY, "/s")
        entries, current = [], None
        for line in text.splitlines():
            if line.startswith("HKEY_"):
                current = {}
                entries.append(current)
            elif current is not None:
                value = re.match(r"\s+(\S+)\s+REG_\w+\s+(.*)$", line)
                if value:
                    current[value.group(1)] = value.group(2).strip()
        return [entry for entry in entries if entry.get("DisplayName") == PRODUCT]

    def close(self):
        self.keeper.stdin.close()
        self.run("wineserver", "-k")
        self.keeper.wait(timeout=30)


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.25)
    return condition()


def logged_in(relay_port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
        client.settimeout(0.5)
        client.sendto("!tester+はじめまして".encode("cp932"), ("127.0.0.1", relay_port))
        try:
            return client.recv(2048) == LOGIN_ACCEPTED
        except OSError:
            return False


def newer_version(version):
    parts = [int(part) for part in version.split(".")]
    parts[-1] += 1
    return ".".join(str(part) for part in parts)


class InstallerUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = Prefix(os.path.join(args.work, "prefix"))
        cls.program_folder = os.path.join(cls.prefix.drive_c, "Program Files", "TaviloConference")
        cls.data_folder = os.path.join(cls.prefix.drive_c, "ProgramData", "TaviloConference")

    @classmethod
    def tearDownClass(cls):
        cls.prefix.close()

    def shortcuts(self):
        found = []
        for folder, _, files in os.walk(self.prefix.drive_c):
            if os.path.basename(folder) == PRODUCT:
                found += sorted(name for name in files if name.endswith(".lnk"))
        return found

    def test_1_services_install_serve_stop_and_uninstall(self):
        relay_port, web_port = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_STREAM)
        self.assertEqual(self.prefix.msiexec("/i", args.msi, f"RELAY_PORT={relay_port}", f"WEB_PORT={web_port}"), 0)

        self.assertEqual(sorted(os.listdir(self.program_folder)),
                         sorted(["confclient.exe", "confrelay.exe", "confserver.exe", "confweb.exe", "pcname.exe",
                                 "README-Windows.txt", "licenses"]))
        self.assertEqual(len(os.listdir(os.path.join(self.program_folder, "licenses"))), 3)
        self.assertEqual(self.shortcuts(), ["コンピュータ名.lnk", "会議クライアント.lnk", "会議サーバー.lnk"])
        entries = self.prefix.uninstall_entries()
        self.assertEqual(len(entries), 1)
        self.assertEqual(entries[0].get("Publisher"), "Tavilo")
        self.assertEqual(entries[0].get("DisplayVersion"), args.version)
        self.assertEqual(entries[0].get("Language"), "0x411")
        # Installed programs show the icon that the installer keeps for the
        # product (Wine writes no DisplayIcon value; Windows does).
        product_code = re.search(r"/X(\{[0-9A-F-]+\})", entries[0]["UninstallString"]).group(1)
        kept_icon = os.path.join(self.prefix.drive_c, "windows", "Installer", product_code, "TaviloIcon")
        self.assertEqual(open(kept_icon, "rb").read(), open(args.icon, "rb").read())

        self.assertTrue(wait_for(lambda: logged_in(relay_port), 20), "no login reply from the relay service")
        # The gateway service serves the page.
        def page_served():
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{web_port}/", timeout=2) as response:
                    return response.status == 200 and b"<html" in response.read(4096).lower()
            except OSError:
                return False

        self.assertTrue(wait_for(page_served, 20), "the gateway service serves no page")

        # sc stop ends both as SIGTERM would: status 0, the table saved.
        for service in ["TaviloConfWeb", "TaviloConfRelay"]:
            self.assertEqual(self.prefix.service_state(service)[1], "RUNNING")
            self.prefix.run("wine64", "sc", "stop", service)
            self.assertTrue(wait_for(lambda: self.prefix.service_state(service)[1] == "STOPPED", 20), service)
            self.assertEqual(self.prefix.service_state(service)[2], 0, service)
        relay_log = open(os.path.join(self.data_folder, "confrelay.log"), "rb").read().decode("cp932")
        self.assertIn(f"listening on UDP port {relay_port}", relay_log)
        self.assertIn("service: stopped, exit status 0", relay_log)
        self.assertIn(b"tester", open(os.path.join(self.data_folder, "state.json"), "rb").read())
        transcript = os.path.join(self.data_folder, "transcript.jsonl")
        self.assertIn("はじめまして", open(transcript, encoding="utf-8").read())
        self.assertIn("service: stopped, exit status 0",
                      open(os.path.join(self.data_folder, "confweb.log"), "rb").read().decode("cp932"))

        self.assertEqual(self.prefix.msiexec("/x", args.msi), 0)
        self.assertFalse(os.path.exists(os.path.join(self.program_folder, "confrelay.exe")))
        self.assertFalse(os.path.exists(os.path.join(self.program_folder, "confclient.exe")))
        self.assertEqual(self.shortcuts(), [])
        self.assertEqual(self.prefix.uninstall_entries(), [])
        for service in ["TaviloConfWeb", "TaviloConfRelay"]:
            status, state, _ = self.prefix.service_state(service)
            self.assertTrue(status != 0 and state is None, f"{service} is still there")
        self.assertIn("はじめまして", open(transcript, encoding="utf-8").read(), "the transcript is kept")

    def test_2_newer_version_replaces_the_older_and_keeps_the_service(self):
        newer = os.path.join(args.work, "newer.msi")
        version = newer_version(args.version)
        subprocess.run([args.build_msi, "x64", version, args.bin, args.icon, newer], check=True, timeout=300,
                       stdout=subprocess.DEVNULL)
        relay_port = free_port(socket.SOCK_DGRAM)
        self.assertEqual(self.prefix.msiexec("/i", args.msi, f"RELAY_PORT={relay_port}"), 0)
        self.assertEqual([entry.get("DisplayVersion") for entry in self.prefix.uninstall_entries()], [args.version])
        # Windows Installer waits for the old service to stop before it
        # installs the new one; Wine's starts the new one at once, while the
        # old may still hold the port for the half second it takes to notice.
        self.prefix.run("wine64", "sc", "stop", "TaviloConfRelay")
        self.assertTrue(wait_for(lambda: self.prefix.service_state("TaviloConfRelay")[1] == "STOPPED", 20))
        # The upgrade is given no port: the installed one's is kept.
        self.assertEqual(self.prefix.msiexec("/i", newer), 0)
        self.assertEqual([entry.get("DisplayVersion") for entry in self.prefix.uninstall_entries()], [version])
        self.assertEqual(len(self.shortcuts()), 3)
        self.assertTrue(wait_for(lambda: logged_in(relay_port), 20), "the upgraded relay service does not answer")
        # Uninstalling stops the running service and removes it.
        self.assertEqual(self.prefix.msiexec("/x", newer), 0)
        self.assertEqual(self.prefix.uninstall_entries(), [])
        status, state, _ = self.prefix.service_state("TaviloConfRelay")
        self.assertTrue(status != 0 and state is None, "the relay service is still there")
        self.assertFalse(logged_in(relay_port))


def main():
    global args
    parser = argparse.ArgumentParser()
    for option in ["--msi", "--version", "--build-msi", "--bin", "--icon", "--wine-tools", "--work"]:
        parser.add_argument(option, required=True)
    args, rest = parser.parse_known_args()
    os.makedirs(args.work, exist_ok=True)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
