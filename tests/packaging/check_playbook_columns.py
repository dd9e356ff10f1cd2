#!/usr/bin/env python3
"""The fleet report's columns follow the run's record: host, state, action,
target, then every key of contract/contract.h's kRecordKeys after `format`
in its order, then running (the identification driver's reading) and
power_off_needed. Checked in the playbook that writes
the report and in the header line its README shows, so neither can drift
from the record the program writes.

    pytest check_playbook_columns.py
"""
import re
from pathlib import Path

import pytest
import yaml

SOURCE = Path(__file__).resolve().parents[2]
CONTRACT = SOURCE / "contract" / "contract.h"
PLAYBOOK = SOURCE / "deploy" / "ansible" / "pellory-update.yml"
README = SOURCE / "deploy" / "ansible" / "README.md"
LEADING = ["host", "state", "action", "target"]
TRAILING = ["running", "power_off_needed"]

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


@pytest.fixture(scope="module")
def header():
    return CONTRACT.read_text()


@pytest.fixture(scope="module")
def playbook():
    return PLAYBOOK.read_text()


def test_playbook_and_readme_follow_the_record(header, playbook):
    want = report_columns(header)
    assert playbook_columns(playbook) == want
    assert readme_header(README.read_text()) == want


def test_the_row_takes_the_record_keys_between_target_and_running(playbook):
    # The row is built from the columns by position: host, state, action
    # and target, the record's keys, then running and power_off_needed.
    assert "pellory_columns[4:-2] | map('extract', pellory_record)" in playbook


def test_a_key_added_renamed_or_moved_in_the_contract_shows(header, playbook):
    columns = playbook_columns(playbook)
    renamed = header.replace('"firmware_before"', '"firmware_was"')
    assert report_columns(renamed) != columns
    moved = header.replace('"port",', '"PORT",').replace('"image",', '"port",') \
        .replace('"PORT",', '"image",')
    assert report_columns(moved) != columns
    added = header.replace('"outcome"}', '"outcome", "extra"}') \
        .replace("kRecordKeyCount = 13", "kRecordKeyCount = 14")
    assert report_columns(added)[-4:] == ["outcome", "extra", "running", "power_off_needed"]


@pytest.mark.parametrize("before, after", [
    ('"outcome"}', '"outcome", "extra"}'),            # the count disagrees
    ("kRecordKeys", "kRecordNames"),                  # the array is gone
    ('{\n    "format",', '{\n    "version",'),        # format is not first
])
def test_a_contract_the_report_can_not_follow_is_refused(header, before, after):
    assert before in header
    with pytest.raises(ValueError):
        report_columns(header.replace(before, after))
