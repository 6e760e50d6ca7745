#!/usr/bin/env bash
# dissector_test - the Wireshark dissector (wireshark/talven-ns.lua) shows,
# record by record, what the tools and the stand-ins send: captures made now
# while they run the demo's steps and a hostile stand-in's broken answers,
# the captures kept in tests/data, generated garbage, and broken key files.
# The work is done by dissector_test.py; this wrapper skips the test where
# tshark is missing.
#
# Usage (inside the network sandbox): dissector_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
for tool in tshark dumpcap reordercap python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "dissector_test: SKIPPED: $tool is not installed (scripts/deps installs tshark)"
        exit 77
    fi
done
exec python3 "$(dirname "$0")/dissector_test.py" "$@"
