#!/usr/bin/env python3
"""What the installer holds, read with msitools' msiinfo: both architectures.

  msi_tables_test.py --msi PACKAGE.msi --arch x64|x86
"""
import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
import unittest

PROGRAMS = ["confserver.exe", "confclient.exe", "pcname.exe", "confrelay.exe", "confweb.exe"]
LICENCES = ["Boost-BSL-1.0.txt", "MinGW-w64-winpthreads.txt", "nlohmann-json-MIT.txt"]
UPGRADE_CODE = "{6C1D3E2A-58B4-4F0E-9A43-2B7C81D5E7A1}"

args = None


def msiinfo(*arguments, encoding="utf-8"):
    # Exporting a table with a binary column writes its streams into a
    # folder of the table's name: not into the caller's.
    with tempfile.TemporaryDirectory() as scratch:
        result = subprocess.run(["msiinfo", *arguments], capture_output=True, timeout=30, check=True, cwd=scratch)
    return result.stdout.decode(encoding)


def table(name):
    """Rows of an exported table as dicts, by its column names."""
    lines = msiinfo("export", args.msi, name).replace("\r\n", "\n").split("\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


class InstallerTables(unittest.TestCase):
    def test_japanese_per_machine_package_for_its_architecture(self):
        # msiinfo prints the summary's own bytes: code page 932 there.
        summary = msiinfo("suminfo", args.msi, encoding="cp932")
        template = "x64;1041" if args.arch == "x64" else "Intel;1041"
        self.assertIn("Template: " + template + "\n", summary)
        self.assertIn("Tavilo会議システム", summary)
        self.assertIn("932", msiinfo("export", args.msi, "_ForceCodepage"))
        properties = {row["Property"]: row["Value"] for row in table("Property")}
        self.assertEqual(properties["ProductName"], "Tavilo会議システム")
        self.assertEqual(properties["Manufacturer"], "Tavilo")
        self.assertEqual(properties["ProductLanguage"], "1041")
        self.assertEqual(properties["ALLUSERS"], "1")
        self.assertEqual(properties["UpgradeCode"], UPGRADE_CODE)
        self.assertIn(properties["ARPPRODUCTICON"], [row["Name"] for row in table("Icon")])
        # A major upgrade finds every older version under the same code.
        upgrades = [row for row in table("Upgrade") if row["ActionProperty"] == "WIX_UPGRADE_DETECTED"]
        self.assertEqual([row["UpgradeCode"] for row in upgrades], [UPGRADE_CODE])

        directories = {row["Directory"]: row for row in table("Directory")}
        program_files = "ProgramFiles64Folder" if args.arch == "x64" else "ProgramFilesFolder"
        self.assertEqual(directories["INSTALLDIR"]["Directory_Parent"], program_files)
        self.assertEqual(directories["MenuFolder"]["Directory_Parent"], "ProgramMenuFolder")
        self.assertTrue(directories["MenuFolder"]["DefaultDir"].endswith("|Tavilo会議システム"))

    def test_programs_readme_licences_and_plain_shortcuts(self):
        files = table("File")
        names = sorted(row["FileName"] for row in files)
        # The relay and the gateway twice: with and without their service.
        expected = PROGRAMS + ["confrelay.exe", "confweb.exe", "README-Windows.txt"] + LICENCES
        self.assertEqual(names, sorted(expected))
        shortcuts = {row["Name"].split("|")[-1]: row for row in table("Shortcut")}
        self.assertEqual(sorted(shortcuts), sorted(["会議サーバー", "会議クライアント", "コンピュータ名"]))
        self.assertEqual(shortcuts["会議サーバー"]["Target"], "[#confserver.exe]")
        self.assertEqual(shortcuts["会議クライアント"]["Target"], "[#confclient.exe]")
        self.assertEqual(shortcuts["コンピュータ名"]["Target"], "[#pcname.exe]")

    def test_services_only_with_their_ports_as_local_service(self):
        components = {row["Component"]: row for row in table("Component")}
        # Exactly one of each pair is installed, whatever the properties.
        self.assertEqual(components["confrelay"]["Condition"], "NOT RELAY_PORT")
        self.assertEqual(components["RelayService"]["Condition"], "RELAY_PORT")
        self.assertEqual(components["confweb"]["Condition"], "NOT (WEB_PORT AND RELAY_PORT)")
        self.assertEqual(components["WebService"]["Condition"], "WEB_PORT AND RELAY_PORT")

        services = {row["Name"]: row for row in table("ServiceInstall")}
        self.assertEqual(sorted(services), ["TaviloConfRelay", "TaviloConfWeb"])
        for service in services.values():
            self.assertEqual(service["StartName"], "NT AUTHORITY\\LocalService")
            self.assertEqual(service["StartType"], "2")  # automatic
            self.assertTrue(service["Arguments"].startswith('--service "[DataFolder]'))
        relay = services["TaviloConfRelay"]
        self.assertEqual(relay["Component_"], "RelayService")
        for part in ["--members-only", '--state "[DataFolder]state.json"',
                     '--transcript "[DataFolder]transcript.jsonl"']:
            self.assertIn(part, relay["Arguments"])
        self.assertTrue(relay["Arguments"].endswith(" [RELAY_PORT]"))
        web = services["TaviloConfWeb"]
        self.assertEqual(web["Component_"], "WebService")
        self.assertIn("--relay 127.0.0.1:[RELAY_PORT] --listen 0.0.0.0:[WEB_PORT]", web["Arguments"])
        self.assertTrue(web["Dependencies"].startswith("TaviloConfRelay[~]"))
        # Started at install, stopped at install and uninstall, removed at uninstall.
        controls = {row["Name"]: int(row["Event"]) for row in table("ServiceControl")}
        self.assertEqual(controls, {"TaviloConfRelay": 0xA3, "TaviloConfWeb": 0xA3})

    def test_ports_are_remembered_for_uninstall_and_upgrade(self):
        # Without them an uninstall would find the services' components
        # disabled and leave the services behind.
        self.assertEqual(sorted((row["Property"], row["Signature_"]) for row in table("AppSearch")),
                         [("RELAY_PORT", "RelayPortSearch"), ("WEB_PORT", "WebPortSearch")])
        registry_view = 0x10 if args.arch == "x64" else 0
        for locator in table("RegLocator"):
            self.assertEqual(int(locator["Type"]) & 0x10, registry_view)
        written = {row["Name"]: (row["Value"], row["Component_"]) for row in table("Registry")}
        self.assertEqual(written["RelayPort"], ("[RELAY_PORT]", "RelayService"))
        self.assertEqual(written["WebPort"], ("[WEB_PORT]", "WebService"))
        for component in table("Component"):
            self.assertEqual(int(component["Attributes"]) & 0x100, registry_view * 0x10, component["Component"])
        secure = {row["Property"]: row["Value"] for row in table("Property")}["SecureCustomProperties"]
        self.assertEqual(sorted({"RELAY_PORT", "WEB_PORT"} & set(secure.split(";"))), ["RELAY_PORT", "WEB_PORT"])

    def test_data_folder_is_closed_to_users_and_services_restart(self):
        locks = table("MsiLockPermissionsEx")
        self.assertEqual(len(locks), 1)
        lock = locks[0]
        self.assertEqual((lock["LockObject"], lock["Table"]), ("DataFolder", "CreateFolder"))
        sddl = lock["SDDLText"]
        self.assertTrue(sddl.startswith("D:P"), "nothing inherited from ProgramData")
        # Writable by the two services themselves, not by every LocalService one.
        self.assertEqual(service_sid("TrustedInstaller"),
                         "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464")
        for trustee in ["SY", "BA", service_sid("TaviloConfRelay"), service_sid("TaviloConfWeb")]:
            self.assertIn(";;;%s)" % trustee, sddl)
        for trustee in ["LS", "BU", "WD", "AU", "IU"]:
            self.assertNotIn(";;;%s)" % trustee, sddl)
        self.assertIn(("DataFolder", "DataFolder"),
                      [(row["Directory_"], row["Component_"]) for row in table("CreateFolder")])

        # Their tokens carry those SIDs, and a failure restarts them.
        configs = {(row["Name"], row["ConfigType"]): row["Argument"] for row in table("MsiServiceConfig")}
        restarts = {row["Name"]: row["Actions"] for row in table("MsiServiceConfigFailureActions")}
        for service in ["TaviloConfRelay", "TaviloConfWeb"]:
            self.assertEqual(configs[(service, "6")], "1")  # unrestricted service SID
            self.assertEqual(configs[(service, "4")], "1")  # failure actions on a non-zero exit
            self.assertEqual(restarts[service].split("[~]")[0], "1")  # restart
        sequence = {row["Action"]: int(row["Sequence"]) for row in table("InstallExecuteSequence")}
        self.assertLess(sequence["InstallServices"], sequence["MsiConfigureServices"])
        self.assertLess(sequence["MsiConfigureServices"], sequence["StartServices"])


def service_sid(name):
    """The SID Windows gives the service NAME: NT SERVICE\\NAME."""
    digest = hashlib.sha1(name.upper().encode("utf-16-le")).digest()
    return "S-1-5-80-" + "-".join(str(int.from_bytes(digest[i:i + 4], "little")) for i in range(0, 20, 4))


def main():
    global args
    parser = argparse.ArgumentParser()
    parser.add_argument("--msi", required=True, type=os.path.abspath)
    parser.add_argument("--arch", choices=["x64", "x86"], required=True)
    args, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
