#!/usr/bin/python3
"""The installer's steps that wixl (msitools 0.101) cannot write, made to the MSI it built from
kav_morv_led.wxs, which holds everything else. Each says why it is here and what it changes; the
installer's test reads the built MSI's tables back to check each (tests/sdk/windows_installer.py).
Run by the system's Python, whose GObject bindings reach libmsi (Debian: python3-gi,
gir1.2-libmsi-1.0).

    finish_msi.py MSI PACKAGE_CODE SECONDS
"""
import sys

import gi

gi.require_version("Libmsi", "1.0")
from gi.repository import Libmsi  # noqa: E402

# The bridge's feature (Level 1000 in the .wxs: left out) is installed when a broker is given, or
# kept when it was installed before: a Condition row, which wixl has no element for.
FEATURE_CONDITION = ("MqttBridge", 1, "MQTT_BROKER OR MQTT_BRIDGE_INSTALLED")
# The deferred actions handed the password: their data stays out of the log even where
# MsiHiddenProperties is not read (msidbCustomActionTypeHideTarget), which wixl does not write.
HIDE_TARGET = 8192
HIDDEN_ACTIONS = ("ConfigureBridge", "ForgetBridgePassword")
# wixl schedules the previous version's removal right after InstallValidate; it goes once this
# version is installed, so that what both share is kept (the state, the services' registrations).
AFTER_FINALIZE = 10
# Summary information: wixl makes up a package code and stamps the time it ran; the package code
# follows the version and the commit, and both times are the commit's, so that the same commit
# gives the same package.
TITLE = AUTHOR = "KAV MORV LED"
TEMPLATE = "x64;1033"
WINDOWS_EPOCH_S = 11644473600  # FILETIME counts 100 ns from 1601


def query(database, sql):
    """The integer of each row's first column."""
    found = Libmsi.Query.new(database, sql)
    found.execute(None)
    values = []
    while (row := found.fetch()) is not None:
        values.append(row.get_int(1))
    found.close()
    return values


def change(database, sql):
    done = Libmsi.Query.new(database, sql)
    done.execute(None)
    done.close()


def main():
    path, package_code, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
    database = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    change(database, "CREATE TABLE `Condition` (`Feature_` CHAR(38) NOT NULL, `Level` SHORT NOT NULL, "
                     "`Condition` CHAR(255) PRIMARY KEY `Feature_`, `Level`)")
    change(database, "INSERT INTO `Condition` (`Feature_`, `Level`, `Condition`) VALUES ('%s', %d, '%s')"
           % FEATURE_CONDITION)
    for action in HIDDEN_ACTIONS:
        [kind] = query(database, f"SELECT `Type` FROM `CustomAction` WHERE `Action` = '{action}'")
        change(database, f"UPDATE `CustomAction` SET `Type` = {kind | HIDE_TARGET} WHERE `Action` = '{action}'")
    [finalize] = query(database, "SELECT `Sequence` FROM `InstallExecuteSequence` WHERE `Action` = 'InstallFinalize'")
    change(database, f"UPDATE `InstallExecuteSequence` SET `Sequence` = {finalize + AFTER_FINALIZE} "
                     "WHERE `Action` = 'RemoveExistingProducts'")
    database.commit()
    # The summary in a session of its own: written in the one that made a table, Windows Installer
    # (Wine's, at least) no longer finds that table's rows.
    del database
    database = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    summary = Libmsi.SummaryInfo.new(database, 8)
    for name, value in ((Libmsi.Property.TITLE, TITLE), (Libmsi.Property.AUTHOR, AUTHOR),
                        (Libmsi.Property.TEMPLATE, TEMPLATE), (Libmsi.Property.UUID, "{" + package_code + "}")):
        summary.set_string(name, value)
    for name in (Libmsi.Property.CREATED_TM, Libmsi.Property.LASTSAVED_TM):
        summary.set_filetime(name, (epoch + WINDOWS_EPOCH_S) * 10_000_000)
    summary.persist()
    database.commit()


if __name__ == "__main__":
    main()
