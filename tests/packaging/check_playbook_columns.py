#!/usr/bin/env python3
"""The fleet report's columns follow the run's record: host, state, action,
target, then every key of contract/contract.h's kRecordKeys after `format`
in its order, then power_off_needed. Checked in the playbook that writes
the report and in the header line its README shows, so neither can drift
from the record the program writes.

    check_playbook_columns.py
"""
import re
import unittest
from pathlib import Path

import yaml

SOURCE = Path(__file__).resolve().parents[2]
CONTRACT = SOURCE / "contract" / "contract.h"
PLAYBOOK = SOURCE / "deploy" / "ansible" / "pellory-update.yml"
README = SOURCE / "deploy" / "ansible" / "README.md"
LEADING = ["host", "state", "action", "target"]
TRAILING = ["power_off_needed"]

_KEYS = re.compile(r"kRecordKeys\s*\[\s*(\w+)\s*\]\s*=\s*\{(.*?)\};", re.S)
_COUNT = re.compile(r"kRecordKeyCount\s*=\s*(\d+)\s*;")


def record_keys(header):
    """kRecordKeys from the header's text; ValueError when the array is
    missing or its length is not kRecordKeyCount."""
    keys, count = _KEYS.search(header), _COUNT.search(header)
    if not keys or not count:
        raise ValueError("no kRecordKeys or kRecordKeyCount in the contract")
    names = re.findall(r'"([^"]*)"', keys.group(2))
    if len(names) != int(count.group(1)):
        raise ValueError(f"kRecordKeys holds {len(names)} keys, kRecordKeyCount says "
                         f"{count.group(1)}")
    return names


def report_columns(header):
    keys = record_keys(header)
    if keys[0] != "format":
        raise ValueError(f"the record's first key is {keys[0]!r}, not format")
    return LEADING + keys[1:] + TRAILING


def playbook_columns(text):
    """pellory_columns of every play that names them (all must agree)."""
    found = [play["vars"]["pellory_columns"] for play in yaml.safe_load(text)
             if "pellory_columns" in play.get("vars", {})]
    if not found or any(columns != found[0] for columns in found):
        raise ValueError(f"the plays' pellory_columns differ or are missing: {found}")
    return found[0]


def readme_header(text):
    """The one code line of the README that starts with "host,"."""
    lines = [line for line in text.splitlines() if line.startswith("host,")]
    if len(lines) != 1:
        raise ValueError(f"the README shows {len(lines)} header lines")
    return lines[0].split(",")


class Columns(unittest.TestCase):
    def setUp(self):
        self.header = CONTRACT.read_text()
        self.playbook = PLAYBOOK.read_text()

    def test_playbook_and_readme_follow_the_record(self):
        want = report_columns(self.header)
        self.assertEqual(playbook_columns(self.playbook), want)
        self.assertEqual(readme_header(README.read_text()), want)

    def test_the_row_takes_the_record_keys_between_target_and_power_off(self):
        # The row is built from the columns by position: host, state,
        # action and target, the record's keys, then power_off_needed.
        self.assertIn("pellory_columns[4:-1] | map('extract', pellory_record)", self.playbook)

    def test_a_key_added_renamed_or_moved_in_the_contract_shows(self):
        columns = playbook_columns(self.playbook)
        renamed = self.header.replace('"firmware_before"', '"firmware_was"')
        self.assertNotEqual(report_columns(renamed), columns)
        moved = self.header.replace('"port",', '"PORT",').replace('"image",', '"port",') \
            .replace('"PORT",', '"image",')
        self.assertNotEqual(report_columns(moved), columns)
        added = self.header.replace('"outcome"}', '"outcome", "extra"}') \
            .replace("kRecordKeyCount = 13", "kRecordKeyCount = 14")
        self.assertEqual(report_columns(added)[-3:], ["outcome", "extra", "power_off_needed"])

    def test_a_contract_whose_count_disagrees_or_that_lost_the_array_is_refused(self):
        with self.assertRaises(ValueError):
            report_columns(self.header.replace('"outcome"}', '"outcome", "extra"}'))
        with self.assertRaises(ValueError):
            report_columns(self.header.replace("kRecordKeys", "kRecordNames"))
        with self.assertRaises(ValueError):
            report_columns(self.header.replace('{\n    "format",', '{\n    "version",'))


if __name__ == "__main__":
    unittest.main()
